// Machine faults (access violation, division by zero, ...) in the library's
// own code turned into cwrpexception while a SeTranslatorScope is alive.
//
// MinGW has no working _set_se_translator, so a vectored exception handler
// moves a qualifying fault into an assembly trampoline that throws as if the
// faulting instruction had called a throwing function. That only unwinds
// correctly through code compiled with -fnon-call-exceptions (the library
// is); a fault in a frame with cleanups compiled without it ends in
// std::terminate.
//
// Only faults whose instruction lies in this module qualify, on both
// architectures. On i686 g++ unwinds with DWARF tables, which foreign code
// lacks: a fault inside msvcrt (memcpy, strlen) or kernel32 could not be
// unwound, so it keeps its normal, fatal handling; and a fault in library
// code called back through a foreign frame (a qsort or EnumWindows callback)
// cannot unwind past that frame and ends in std::terminate. Faults that
// system code handles itself (IsBadReadPtr) are never touched.
// Stack overflow is never translated: there is no stack left to throw on.
#pragma once

#include "runtime/exceptions.h"

// Writes a crash dump through the hook (when set), then throws cwrpexception(code).
[[noreturn]] void seTranslator(unsigned code, EXCEPTION_POINTERS* pointers);

// Copy of one fault, kept in the scope's own storage because the
// dispatcher's stack is reused as soon as the thread continues.
struct SeTranslatorFrame {
    SeTranslatorFrame* previous;
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
};

// While one is alive on a thread, machine faults in library code on that
// thread arrive as cwrpexception. Nests; restores the previous state on
// destruction (per thread).
class SeTranslatorScope {
public:
    SeTranslatorScope();
    ~SeTranslatorScope();
    SeTranslatorScope(const SeTranslatorScope&) = delete;
    SeTranslatorScope& operator=(const SeTranslatorScope&) = delete;

private:
    SeTranslatorFrame frame_;
    bool active_;
};

// Process-wide; null means no dump. Called before the throw, under a
// catch-all that swallows every exception (a fault in it included).
using CrashDumpHook = void (*)(unsigned code, EXCEPTION_POINTERS* pointers);
void setCrashDumpHook(CrashDumpHook hook);
