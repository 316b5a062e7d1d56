// Child process for tests that need a process of their own. Runs its
// arguments as a list of steps:
//   <level> <text>   logMessage at the level
//   switches         print the log switch table as 13 digits
//   take <mutex>     ExclusiveTask::Initialize with timeout 0, never released;
//                    prints the result and timedOut
//   hold <path> <event>  opens the file without sharing, sets <event>-held
//                    and keeps it open until <event>-release is set (60 s at most)
// A failure ends it through std::terminate, with a non-zero exit code.
#include <cstdio>
#include <exception>
#include <cwchar>

#include "runtime/executecontext.h"
#include "runtime/owners.h"
#include "runtime/log.h"
#include "runtime/sysobjects.h"

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        if (step == L"switches") {
            LogManager::instance();
            const unsigned char* table = getExecuteContext()->logSwitches();
            for (int b = 0; b < LogSwitches::size; ++b) std::printf("%d", table[b] ? 1 : 0);
        } else if (step == L"take") {
            auto task = new ExclusiveTask;  // an owned mutex is abandoned at exit
            DWORD result = task->Initialize(argv[++i], 0);
            std::printf("%lu %d", result, task->timedOut() ? 1 : 0);
        } else if (step == L"hold") {
            const std::wstring path = argv[++i], event = argv[++i];
            UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!file) std::terminate();
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
