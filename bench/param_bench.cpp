// HVC_GetParam against a raw named-pipe request and answer of the same bytes
// to the same stand-in service, as a ratio of per-call medians in one run
// (result lines: bench/benchutil.h). Needs the stand-in service on \\.\pipe\hvcpipe serving
// BENCH_PARAMETER (64 times "v"), as `./build.sh bench` starts it.
// Run under Wine: hvcbench_param.exe [iterations]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 3000;
    if (iterations < 1) iterations = 1;

    HMODULE module = bench::loadLibrary();
    auto getParam = bench::bind<HVC_GetParam_t>(module, HVC_NAME_GetParam);
    auto freeString = bench::bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);

    // The library's client connects on first use and keeps its pipe; the raw
    // client too. The stand-in serves one client at a time per pipe
    // instance, so the raw one connects after the library's.
    const std::string value(64, 'v');
    bool exportOk = true;
    auto exported = [&] {
        const char* result = getParam("BENCH_PARAMETER");
        exportOk = exportOk && result && value == result;
        freeString(result);
    };
    exported();
    bench::RawService service;
    if (!service.valid() || !exportOk) {
        std::fprintf(stderr, "hvcbench_param: no stand-in service serving BENCH_PARAMETER (error %lu)\n",
                     GetLastError());
        return 1;
    }
    bool rawOk = true;
    auto raw = [&] { rawOk = service.getString(L"BENCH_PARAMETER") && rawOk; };

    // Warm both paths, then alternate single calls.
    bench::secondsFor(50, raw);
    bench::secondsFor(50, exported);
    std::pair<double, double> medians = bench::alternatingMedians(iterations, exported, raw);
    if (!rawOk || !exportOk) {
        std::fprintf(stderr, "hvcbench_param: a request failed\n");
        return 1;
    }
    bench::result("GetParam_us", medians.first * 1e6, medians.second * 1e6, 1.10);
    return 0;
}
