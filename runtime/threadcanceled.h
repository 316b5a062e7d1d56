// The exception that unwinds a cancelled thread (see runtime/cancellation.h).
// Catch points include only this to let it pass.
#pragma once

#include <windows.h>

namespace ThreadCancelation {

// Deliberately not derived from std::exception, so that no catch point of
// the library mistakes it for a failure.
struct ThreadCanceledException {
    DWORD threadId;
};

}  // namespace ThreadCancelation
