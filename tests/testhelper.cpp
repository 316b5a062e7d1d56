// Child process for tests that need a process of their own. Runs its
// arguments as a list of steps:
//   <level> <text>   logMessage at the level
//   switches         print the log switch table as 13 digits
//   take <mutex>     ExclusiveTask::Initialize with timeout 0, never released;
//                    prints the result and timedOut
//   registry-race <n>  n threads ask for the cancellation registry at the
//                    same moment; prints "one registry" or "several registries"
//   fault-export     loads hvcdmtutils.dll, passes an unreadable string to
//                    HVC_idn_toAscii and prints the slot's text
//   hold <path> <event>  opens the file without sharing, sets <event>-held
//                    and keeps it open until <event>-release is set (60 s at most)
//   wait <event>     sets <event>-held and waits until <event>-release is set (60 s at most)
// A failure ends it through std::terminate, with a non-zero exit code.
#include <process.h>

#include <cstdio>
#include <exception>
#include <cwchar>
#include <vector>

#include "exports/hvcdmtutils.h"
#include "runtime/cancellation.h"
#include "runtime/executecontext.h"
#include "runtime/owners.h"
#include "runtime/log.h"
#include "runtime/sysobjects.h"

namespace {

struct Race {
    UniqueHandle start{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<void*> seen;
};
Race* race = nullptr;

unsigned __stdcall askForRegistry(void* slot) {
    WaitForSingleObject(race->start.get(), INFINITE);
    *static_cast<void**>(slot) = getExecuteContext()->cancelationRegistry();
    return 0;
}

void registryRace(unsigned threads) {
    Race shared;
    race = &shared;
    shared.seen.assign(threads, nullptr);
    std::vector<UniqueHandle> running;
    for (unsigned i = 0; i < threads; ++i)
        running.emplace_back(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, askForRegistry, &shared.seen[i], 0, nullptr)));
    Sleep(100);  // every thread waits at the start line
    SetEvent(shared.start.get());
    for (const UniqueHandle& thread : running) WaitForSingleObject(thread.get(), INFINITE);
    bool one = true;
    for (void* registry : shared.seen) one = one && registry == shared.seen[0] && registry;
    std::printf(one ? "one registry" : "several registries");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        if (step == L"switches") {
            LogManager::instance();
            const unsigned char* table = getExecuteContext()->logSwitches();
            for (int b = 0; b < LogSwitches::size; ++b) std::printf("%d", table[b] ? 1 : 0);
        } else if (step == L"registry-race") {
            registryRace(static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10)));
        } else if (step == L"take") {
            auto task = new ExclusiveTask;  // an owned mutex is abandoned at exit
            DWORD result = task->Initialize(argv[++i], 0);
            std::printf("%lu %d", result, task->timedOut() ? 1 : 0);
        } else if (step == L"fault-export") {
            HMODULE dll = LoadLibraryW(L"hvcdmtutils.dll");
            if (!dll) std::terminate();
            auto toAscii = reinterpret_cast<HVC_idn_toAscii_t>(
                reinterpret_cast<void*>(GetProcAddress(dll, HVC_NAME_idn_toAscii)));
            auto lastError = reinterpret_cast<HVC_GetLastHvcDmtError_t>(
                reinterpret_cast<void*>(GetProcAddress(dll, HVC_NAME_GetLastHvcDmtError)));
            void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
            if (!toAscii || !lastError || !page || toAscii(static_cast<const char*>(page))) std::terminate();
            std::printf("%s", lastError() ? lastError() : "(no text)");
            VirtualFree(page, 0, MEM_RELEASE);
        } else if (step == L"hold" || step == L"wait") {
            const std::wstring path = step == L"hold" ? argv[++i] : L"", event = argv[++i];
            UniqueHandle file(path.empty() ? INVALID_HANDLE_VALUE
                                           : CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!file && !path.empty()) std::terminate();
            UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, (event + L"-release").c_str()));
            UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, (event + L"-held").c_str()));
            if (!release || !held) std::terminate();
            SetEvent(held.get());
            WaitForSingleObject(release.get(), 60000);
        } else {
            logMessage(static_cast<LogLevel>(std::wcstoul(step.c_str(), nullptr, 10)), L"%s", argv[++i]);
        }
    }
    return 0;
}
