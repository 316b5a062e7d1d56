// HVC_GetParam round trip against a raw named-pipe request and answer of
// the same bytes to the same stand-in service, as a ratio in one run.
// Run under Wine from the build's bin directory (orvexsrv.exe next to it;
// nothing else may serve \\.\pipe\hvcpipe): hvcparambench.exe [iterations]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"
#include "runtime/owners.h"

namespace {

using bench::binDirectory;
using bench::secondsFor;

const wchar_t servicePipe[] = L"\\\\.\\pipe\\hvcpipe";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "hvcparambench: %s (error %lu)\n", what, GetLastError());
    std::exit(1);
}

// The stand-in with one parameter, until the bench ends.
UniqueHandle startService(const std::wstring& file, HANDLE ready) {
    std::wstring line = L"\"" + binDirectory() + L"\\orvexsrv.exe\" --quiet --ready-event hvcparambench-ready" +
                        L" --stop-event hvcparambench-stop --parent " + std::to_wstring(GetCurrentProcessId()) +
                        L" \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        fail("cannot start orvexsrv.exe");
    UniqueHandle thread(info.hThread), process(info.hProcess);
    HANDLE waits[2] = {ready, process.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) fail("orvexsrv.exe did not get ready");
    return process;
}

// The bytes the library sends for getString(name): identifier blob, name blob.
std::string requestBody(const std::wstring& name) {
    static const unsigned char id[16] = {0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF, 0x4F,
                                         0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22};
    auto u32 = [](std::string& out, DWORD value) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
    };
    std::string body;
    u32(body, 16);
    body.append(reinterpret_cast<const char*>(id), sizeof id);
    u32(body, static_cast<DWORD>(name.size() * 2 + 1));
    body += '\2';
    body.append(reinterpret_cast<const char*>(name.data()), name.size() * 2);
    return body;
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 3000;
    if (iterations < 1) iterations = 1;

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring file = std::wstring(temp) + L"hvcparambench.txt";
    const std::string value(64, 'v');
    FILE* out = _wfopen(file.c_str(), L"wb");
    if (!out) fail("cannot write the parameter file");
    std::fprintf(out, "param BENCH_PARAMETER=%s\n", value.c_str());
    std::fclose(out);

    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, L"hvcparambench-ready"));
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"hvcparambench-stop"));
    UniqueHandle service = startService(file, ready.get());

    HMODULE module = bench::loadLibrary();
    auto getParam = bench::bind<HVC_GetParam_t>(module, HVC_NAME_GetParam);
    auto freeString = bench::bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);

    // Raw: one synchronous message-mode client, the same four messages.
    UniqueHandle pipeHandle(CreateFileW(servicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipeHandle) fail("cannot open the pipe");
    HANDLE pipe = pipeHandle.get();
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    const std::string body = requestBody(L"BENCH_PARAMETER");
    const DWORD length = static_cast<DWORD>(body.size());
    char answer[1024];
    bool rawOk = true;
    auto raw = [&] {
        DWORD done = 0, size = 0;
        rawOk = rawOk && WriteFile(pipe, &length, 4, &done, nullptr) &&
                WriteFile(pipe, body.data(), length, &done, nullptr) && ReadFile(pipe, &size, 4, &done, nullptr) &&
                size <= sizeof answer && ReadFile(pipe, answer, size, &done, nullptr) && done == size;
    };
    bool exportOk = true;
    auto exported = [&] {
        const char* result = getParam("BENCH_PARAMETER");
        exportOk = exportOk && result && value == result;
        freeString(result);
    };

    // Warm both paths (the shared client connects on first use), then interleave
    // the rounds so that drift in the machine's load hits both alike.
    secondsFor(50, raw);
    secondsFor(50, exported);
    double rawSeconds = 0, exportSeconds = 0;
    const int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        rawSeconds += secondsFor(iterations / rounds + 1, raw);
        exportSeconds += secondsFor(iterations / rounds + 1, exported);
    }
    const int calls = rounds * (iterations / rounds + 1);
    pipeHandle.reset();
    if (!rawOk || !exportOk) fail("a request failed");

    std::printf(
        "GetParam: %d calls, 64-char value; raw named-pipe request %.1f us/call, HVC_GetParam %.1f us/call, "
        "ratio %.2f\n",
        calls, rawSeconds * 1e6 / calls, exportSeconds * 1e6 / calls, exportSeconds / rawSeconds);

    SetEvent(stop.get());
    WaitForSingleObject(service.get(), 10000);
    DeleteFileW(file.c_str());
    return 0;
}
