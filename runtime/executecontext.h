// The execute context that all modules of this family in one process share:
// the log switches and the thread-cancellation registry live here, so every
// such module logs and cancels alike. Modules find it through each other's
// exported pointer of the same name.
#pragma once

#include <cstdint>

namespace ThreadCancelation {
class CancellationRegistry;
}

// Shared between separately built modules: keep the layout.
struct ExecuteContext {
    ThreadCancelation::CancellationRegistry* cancellation;
    unsigned char* switches;  // 13 bytes of log switches
    uint32_t referenceCount;

    // Created on first use, checked and stored under the process's
    // cancellation mutex.
    ThreadCancelation::CancellationRegistry* cancelationRegistry();
    bool hasLogSwitches() const { return switches != nullptr; }
    // 13 zero bytes on first use; null if they cannot be allocated.
    unsigned char* logSwitches();
};

extern "C" ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;

// The process's context, adopted from another module or created; null only
// when it cannot be allocated. Never throws.
ExecuteContext* getExecuteContext();
