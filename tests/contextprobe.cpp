// A module of the library's family for tests: built from the same objects as
// hvcdmtutils.dll, it exports the same context pointer and logs through its
// own manager, which asks for the context.
#include "runtime/log.h"

extern "C" void __cdecl probeLog(int level, const wchar_t* text) {
    logMessage(static_cast<LogLevel>(level), L"%s", text);
}
