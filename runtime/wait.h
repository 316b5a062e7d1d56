// Alertable waits and sleep that a thread cancellation can interrupt; an
// APC that does not cancel only makes them go on with the time left.
//
// Each opens an asynchronous cancellation point for its duration: a cancel
// of the waiting thread ends the wait by throwing
// ThreadCancelation::ThreadCanceledException out of it. So never call them
// from a destructor or any other noexcept code; use the plain Win32 waits there.
#pragma once

#include <windows.h>

namespace VSyncObject {
// Timeout in milliseconds, INFINITE for none. WAIT_FAILED throws vosexception;
// every other result is returned.
DWORD waitForSingleObject(HANDLE handle, DWORD timeout);
// WAIT_FAILED is returned (last error set) for the caller to judge.
DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeout);
void sleep(DWORD milliseconds);
}  // namespace VSyncObject
