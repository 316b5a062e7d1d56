// HVC_Execute against a bare CreateProcessW with three pipes of the same
// child, as ratios measured in one run: the round trip of a trivial child,
// and the throughput of a child writing 64 MiB to standard output.
// Run under Wine from the build's bin directory: hvcprocbench.exe [rounds]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"
#include "runtime/owners.h"

namespace {

using bench::bind;
using bench::secondsFor;

const unsigned long long bulkBytes = 64ull << 20;

// The child with three pipes of its own, read to their end; the bytes of its
// standard output.
unsigned long long bare(const std::wstring& command, DWORD chunk = 65536) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    CreatePipe(inRead.put(), inWrite.put(), &inherit, 0);
    CreatePipe(outRead.put(), outWrite.put(), &inherit, 0);
    CreatePipe(errRead.put(), errWrite.put(), &inherit, 0);
    SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();
    std::wstring line = command;
    UniqueProcessInformation process;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, process.put())) {
        std::fprintf(stderr, "CreateProcessW failed (%lu)\n", GetLastError());
        std::exit(1);
    }
    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    inWrite.reset();
    unsigned long long total = 0;
    static char buffer[65536];
    DWORD got = 0;
    while (ReadFile(outRead.get(), buffer, chunk, &got, nullptr) && got > 0) total += got;
    while (ReadFile(errRead.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    WaitForSingleObject(process.get().hProcess, INFINITE);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
    HMODULE module = bench::loadLibrary();
    auto execute = bind<HVC_Execute_t>(module, HVC_NAME_Execute);
    auto freeString = bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);
    bench::StandIn service(L"runassrv.exe", L"");

    const std::wstring child = L"\"" + bench::binDirectory() + L"\\hvcchild.exe\"";
    const std::string narrowChild(child.begin(), child.end());  // the build path is ASCII
    const std::string trivial = narrowChild + " exit 0";
    const std::string bulk = narrowChild + " fill " + std::to_string(bulkBytes);

    int failures = 0;
    auto call = [&](const std::string& command, size_t expected) {
        const char* out = nullptr;
        const char* err = nullptr;
        unsigned long code = execute("system", command.c_str(), nullptr, 0, nullptr, &out, &err, nullptr);
        failures += code != 0 || !out || std::string(out).size() != expected;
        if (out) freeString(out);
        if (err) freeString(err);
    };
    call(trivial, 0);  // warm-up: the connection and the DLL's first use
    double viaService = secondsFor(rounds, [&] { call(trivial, 0); });
    double direct = secondsFor(rounds, [&] { failures += bare(child + L" exit 0") != 0; });
    std::printf("round trip: %d trivial children; HVC_Execute %.2f ms/call, bare CreateProcessW with three pipes "
                "%.2f ms/call; ratio %.2f\n",
                rounds, viaService * 1e3 / rounds, direct * 1e3 / rounds, viaService / direct);
    bench::result("Execute_round_trip_ms", viaService * 1e3 / rounds, direct * 1e3 / rounds, 0);

    const int bulkRounds = 3;
    double bulkService = secondsFor(bulkRounds, [&] { call(bulk, bulkBytes); });
    double bulkDirect = secondsFor(bulkRounds, [&] { failures += bare(child + L" fill " + std::to_wstring(bulkBytes)) !=
                                                                  bulkBytes; });
    // Reads of 1 KiB, as the library once made them: the same chunk on a bare pipe tells
    // the chunk's share from the rest.
    double bulkSmall = secondsFor(bulkRounds, [&] {
        failures += bare(child + L" fill " + std::to_wstring(bulkBytes), 1024) != bulkBytes;
    });
    const double mib = static_cast<double>(bulkBytes >> 20) * bulkRounds;
    std::printf("throughput: %d x 64 MiB on stdout; HVC_Execute %.1f MiB/s, bare pipe %.1f MiB/s (64 KiB reads), "
                "%.1f MiB/s (1 KiB reads); time ratio %.2f (%.2f against 1 KiB reads)\n",
                bulkRounds, mib / bulkService, mib / bulkDirect, mib / bulkSmall, bulkService / bulkDirect,
                bulkService / bulkSmall);
    bench::result("Execute_64MiB_output_s", bulkService / bulkRounds, bulkDirect / bulkRounds, 1.5);
    if (failures) std::fprintf(stderr, "%d calls went wrong\n", failures);
    return failures ? 1 : 0;
}
