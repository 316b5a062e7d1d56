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
    if (!context || InterlockedDecrement(reinterpret_cast<volatile LONG*>(&context->referenceCount)) != 0) return;
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

// Another module's context, when one of the process's modules has one.
ExecuteContext* findAdoptable() {
    for (HMODULE module : processModules()) {
        auto exported = reinterpret_cast<ExecuteContext* const*>(
            reinterpret_cast<void*>(GetProcAddress(module, exportName)));
        if (exported && *exported) return *exported;  // our own export is still null
    }
    return nullptr;
}

// Publishes context as this module's unless another thread was first: the
// process must never see two contexts.
bool publish(ExecuteContext* context) {
    void* volatile* slot = reinterpret_cast<void* volatile*>(&contextPointer);
    return InterlockedCompareExchangePointer(slot, context, nullptr) == nullptr;
}

}  // namespace

ExecuteContext* getExecuteContext() {
    if (ExecuteContext* context = contextPointer) return context;
    ExecuteContext* adoptable = nullptr;
    try {
        adoptable = findAdoptable();
    } catch (...) {
    }
    if (adoptable) {
        if (publish(adoptable)) {
            InterlockedIncrement(reinterpret_cast<volatile LONG*>(&adoptable->referenceCount));
            std::atexit(release);
        }
        return contextPointer;
    }
    auto context = static_cast<ExecuteContext*>(std::calloc(1, sizeof(ExecuteContext)));
    if (!context) return nullptr;
    context->referenceCount = 1;
    if (!publish(context)) {
        std::free(context);
        return contextPointer;
    }
    std::atexit(release);
    return context;
}

ThreadCancelation::CancellationRegistry* ExecuteContext::cancelationRegistry() {
    return ThreadCancelation::registryOf(*this);
}

unsigned char* ExecuteContext::logSwitches() {
    if (switches) return switches;
    auto table = static_cast<unsigned char*>(std::calloc(LogSwitches::size, 1));
    if (!table) return nullptr;
    void* volatile* slot = reinterpret_cast<void* volatile*>(&switches);
    if (InterlockedCompareExchangePointer(slot, table, nullptr) != nullptr) std::free(table);  // another thread's won
    return switches;
}
