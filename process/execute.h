// HVC_Execute: a command line run as a chosen account through the run-as
// service, its input fed, its output collected, its exit code returned.
#pragma once

#include <windows.h>

#include "runtime/owners.h"

namespace execute {
// How long a child may live on after both its output pipes ended: 3 minutes.
// Only tests linked with the library shorten it; the DLL offers no way to.
void setExitWaitForTests(DWORD milliseconds);
// The calling thread's token, else the process's, opened so that the
// environment of a user can be built from it.
UniqueHandle callerToken();
}  // namespace execute

extern "C" unsigned long __cdecl HVC_Execute(const char* user, const char* command, const char* directory,
                                             unsigned long reserved, const char* input, const char** output,
                                             const char** errors, const char* environment);
