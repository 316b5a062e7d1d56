#include "runtime/executecontext.h"

#include <windows.h>
// psapi.dll's EnumProcessModules: kernel32's K32 variant is missing before Windows 7.
#define PSAPI_VERSION 1
#include <psapi.h>

#include <cstdlib>
#include <vector>

#include "runtime/cancellation.h"
#include "runtime/log.h"

// Exported by name as DATA; null until this module asks, and after its release.
extern "C" {
ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
}

namespace {

const char exportName[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";
ExecuteContext*& contextPointer = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;

// Runs when this module's runtime shuts down (DLL unload or process exit).
void release() {
    ExecuteContext* context = contextPointer;
    contextPointer = nullptr;
    if (!context || --context->referenceCount != 0) return;
    try {
        if (context->cancellation) ThreadCancelation::destroyCancellationRegistry(context->cancellation);
    } catch (...) {
    }
    std::free(context->switches);
    std::free(context);
}

std::vector<HMODULE> processModules() {
    std::vector<HMODULE> modules(1024 / sizeof(HMODULE));
    DWORD needed = 0;
    HANDLE process = GetCurrentProcess();
    if (!EnumProcessModules(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return {};
    if (needed > modules.size() * sizeof(HMODULE)) {
        modules.resize(needed / sizeof(HMODULE));
        DWORD again = 0;
        if (!EnumProcessModules(process, modules.data(), needed, &again) || again > needed)
            return {};  // modules were loaded meanwhile: create our own
        needed = again;
    }
    modules.resize(needed / sizeof(HMODULE));
    return modules;
}

ExecuteContext* adopt() {
    for (HMODULE module : processModules()) {
        auto exported = reinterpret_cast<ExecuteContext* const*>(
            reinterpret_cast<void*>(GetProcAddress(module, exportName)));
        if (!exported || !*exported) continue;  // our own export is still null
        contextPointer = *exported;
        ++contextPointer->referenceCount;
        std::atexit(release);
        return contextPointer;
    }
    return nullptr;
}

}  // namespace

ExecuteContext* getExecuteContext() {
    if (contextPointer) return contextPointer;
    try {
        if (ExecuteContext* adopted = adopt()) return adopted;
    } catch (...) {
    }
    auto context = static_cast<ExecuteContext*>(std::calloc(1, sizeof(ExecuteContext)));
    if (!context) return nullptr;
    context->referenceCount = 1;
    contextPointer = context;
    std::atexit(release);
    return context;
}

ThreadCancelation::CancellationRegistry* ExecuteContext::cancelationRegistry() {
    if (!cancellation) cancellation = ThreadCancelation::createCancellationRegistry();
    return cancellation;
}

unsigned char* ExecuteContext::logSwitches() {
    if (!switches) switches = static_cast<unsigned char*>(std::calloc(LogSwitches::size, 1));
    return switches;
}
