// HVC_GetParam against a raw named-pipe request and answer of the same bytes
// to the same stand-in service, as a ratio in one run (result lines:
// bench/benchutil.h). Needs the stand-in service on \\.\pipe\hvcpipe serving
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
    const int rounds = 10;
    if (iterations < rounds) iterations = rounds;

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

    // Warm both paths, then interleave the rounds so that drift in the
    // machine's load hits both alike.
    bench::secondsFor(50, raw);
    bench::secondsFor(50, exported);
    double rawSeconds = 0, exportSeconds = 0;
    const int block = iterations / rounds;
    for (int round = 0; round < rounds; ++round) {
        rawSeconds += bench::secondsFor(block, raw);
        exportSeconds += bench::secondsFor(block, exported);
    }
    if (!rawOk || !exportOk) {
        std::fprintf(stderr, "hvcbench_param: a request failed\n");
        return 1;
    }
    const double calls = static_cast<double>(rounds) * block;
    bench::result("GetParam_us", exportSeconds * 1e6 / calls, rawSeconds * 1e6 / calls, 1.10);
    return 0;
}
