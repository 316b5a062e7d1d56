// Must be compiled with -fnon-call-exceptions, like the library.
#include "runtime/setranslator.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

int destroyed = 0;

struct Counted {
    ~Counted() { ++destroyed; }
};

// Both volatile, or g++ drops the store through a pointer it saw set to null.
volatile int* volatile nullPointer = nullptr;

// Each fault happens in a frame that owns an object with a destructor.
__attribute__((noinline)) void writeNull() {
    Counted local;
    *nullPointer = 1;
}

volatile int zero = 0;
volatile int quotient;

__attribute__((noinline)) void divideByZero() {
    Counted local;
    quotient = 1 / zero;
}

__attribute__((noinline)) void raiseInCaller(void (*raise)()) {
    Counted local;
    raise();
}

// The exception the fault arrives as; code 0 if none.
cwrpexception caught(void (*raise)()) {
    try {
        raiseInCaller(raise);
    } catch (const cwrpexception& e) {
        return e;
    }
    return cwrpexception(0);
}

struct {
    int calls;
    unsigned code;  // 0 unless the copied record and context agree with it
    int destroyedBefore;
} hookSeen;

// Fails on its first call, by a fault or by a foreign exception; either must
// be swallowed without a second call.
void failingHook(unsigned code, EXCEPTION_POINTERS* pointers) {
#ifdef _WIN64
    const ULONG_PTR instruction = pointers->ContextRecord->Rip;
#else
    const ULONG_PTR instruction = pointers->ContextRecord->Eip;
#endif
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const bool consistent = record.ExceptionCode == code &&
                            reinterpret_cast<ULONG_PTR>(record.ExceptionAddress) == instruction;
    hookSeen = {hookSeen.calls + 1, consistent ? code : 0, destroyed};
    if (hookSeen.calls == 1 && code == EXCEPTION_ACCESS_VIOLATION)
        *nullPointer = 1;
    if (hookSeen.calls == 1)
        throw 42;
}

TEST(SeTranslator, FaultArrivesAfterHookAndUnwinding) {
    const struct {
        void (*raise)();
        unsigned code;
        const wchar_t* text;
    } faults[] = {
        {writeNull, EXCEPTION_ACCESS_VIOLATION, L"C Exception: 3221225477"},
        {divideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, L"C Exception: 3221225620"},
    };
    SeTranslatorScope scope;
    setCrashDumpHook(failingHook);
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.code);
        destroyed = 0;
        hookSeen = {};
        const cwrpexception e = caught(fault.raise);
        EXPECT_EQ(fault.code, e.code());
        EXPECT_EQ(fault.text, e.text());
        EXPECT_EQ(2, destroyed);
        EXPECT_EQ(1, hookSeen.calls);
        EXPECT_EQ(fault.code, hookSeen.code);
        EXPECT_EQ(0, hookSeen.destroyedBefore);
    }
    setCrashDumpHook(nullptr);
}

TEST(SeTranslator, NestedScopesTranslateEveryFault) {
    SeTranslatorScope outer;
    for (int round = 0; round < 2; ++round) {
        {
            SeTranslatorScope inner;
            EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, caught(writeNull).code());
        }
        EXPECT_EQ(EXCEPTION_INT_DIVIDE_BY_ZERO, caught(divideByZero).code());
    }
}

// Ends the child quietly: Wine starts its debugger even under SEM_NOGPFAULTERRORBOX.
LONG WINAPI exitWithFaultCode(EXCEPTION_POINTERS* pointers) {
    TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

void faultAfterScopeEnded() {
    { SeTranslatorScope ended; }
    writeNull();
}

void faultOnThreadWithoutScope() {
    SeTranslatorScope otherThreadsScope;
    std::thread(writeNull).join();
}

// Outside a scope a fault stays unhandled; a translated one would end in
// std::terminate (exit code 3).
TEST(SeTranslatorDeathTest, FaultOutsideScopeStaysUnhandled) {
    for (void (*scenario)() : {faultAfterScopeEnded, faultOnThreadWithoutScope}) {
        EXPECT_EXIT(
            {
                SetUnhandledExceptionFilter(exitWithFaultCode);
                scenario();
            },
            testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
    }
}

}  // namespace
