#include "runtime/setranslator.h"

#include <float.h>

#include <atomic>

// Linker-provided start of this module's image.
extern "C" IMAGE_DOS_HEADER __ImageBase;
// fault_trampoline.S: entered in place of the faulting instruction.
extern "C" void hvcFaultTrampoline();

namespace {

std::atomic<CrashDumpHook> crashDumpHook{nullptr};
// Holds the thread's innermost SeTranslatorFrame. A Win32 slot rather than
// thread_local: the filter runs inside exception dispatch, where emulated
// TLS might allocate.
DWORD frameSlot = TLS_OUT_OF_INDEXES;
thread_local bool inCrashDumpHook = false;

// The extended register area that may follow a CONTEXT is not copied.
constexpr DWORD contextXStateBit = 0x40;

bool isFloatFault(DWORD code) {
    switch (code) {
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
        return true;
    default:
        return false;
    }
}

// Not EXCEPTION_STACK_OVERFLOW: there is no stack left to throw on.
bool isMachineFault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
        return true;
    default:
        return isFloatFault(code);
    }
}

bool inThisModule(ULONG_PTR address) {
    const auto base = reinterpret_cast<ULONG_PTR>(&__ImageBase);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    return address - base < headers->OptionalHeader.SizeOfImage;
}

// TlsGetValue clears the last error, which the interrupted code may still need.
SeTranslatorFrame* currentFrame() {
    if (frameSlot == TLS_OUT_OF_INDEXES)
        return nullptr;
    const DWORD lastError = GetLastError();
    auto* frame = static_cast<SeTranslatorFrame*>(TlsGetValue(frameSlot));
    SetLastError(lastError);
    return frame;
}

// Only faults in this module's own code: the product is i686, where g++
// unwinds with DWARF tables that foreign code (msvcrt's memcpy, kernel32)
// lacks, and the x86_64 test build keeps the same rule so that it tests what
// ships. Faults that system code handles itself (IsBadReadPtr) stay its own.
bool faultIsOurs(const CONTEXT& context) {
#ifdef _WIN64
    return inThisModule(context.Rip);
#else
    return inThisModule(context.Eip);
#endif
}

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (!isMachineFault(record.ExceptionCode) || (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
        return EXCEPTION_CONTINUE_SEARCH;
    SeTranslatorFrame* frame = currentFrame();
    CONTEXT& context = *info->ContextRecord;
    if (!frame || !faultIsOurs(context))
        return EXCEPTION_CONTINUE_SEARCH;

    frame->record = record;
    frame->record.ExceptionRecord = nullptr;
    frame->context = context;
    frame->context.ContextFlags &= ~contextXStateBit;
    frame->pointers = {&frame->record, &frame->context};
#ifdef _WIN64
    context.Rcx = context.Rip;
    context.Rip = reinterpret_cast<DWORD64>(&hvcFaultTrampoline);
#else
    context.Ecx = context.Eip;
    context.Eip = reinterpret_cast<DWORD>(&hvcFaultTrampoline);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Installed on first use, removed when the module unloads so that the host
// never calls into unmapped code. Added last, so a host's own vectored
// handler that repairs a fault (a lazily committed page) still goes first.
struct Installation {
    PVOID handler = nullptr;

    Installation() {
        frameSlot = TlsAlloc();
        if (frameSlot != TLS_OUT_OF_INDEXES)
            handler = AddVectoredExceptionHandler(0, onException);
    }
    ~Installation() {
        if (handler)
            RemoveVectoredExceptionHandler(handler);
        if (frameSlot != TLS_OUT_OF_INDEXES)
            TlsFree(frameSlot);
        frameSlot = TLS_OUT_OF_INDEXES;
    }
};

bool install() {
    static Installation installation;
    return installation.handler != nullptr;
}

}  // namespace

// Called by the trampoline on the faulting thread's stack, below the frame
// that faulted.
extern "C" [[noreturn]] void hvcRaiseTranslatedFault() {
    SeTranslatorFrame& frame = *currentFrame();
    // Pending x87 exception flags would fault again at the next float instruction.
    if (isFloatFault(frame.record.ExceptionCode))
        _clearfp();
    seTranslator(frame.record.ExceptionCode, &frame.pointers);
}

void seTranslator(unsigned code, EXCEPTION_POINTERS* pointers) {
    // A fault inside the hook is translated too; it must not call the hook again.
    CrashDumpHook hook = crashDumpHook.load();
    if (hook && !inCrashDumpHook) {
        inCrashDumpHook = true;
        try {
            hook(code, pointers);
        } catch (...) {
        }
        inCrashDumpHook = false;
    }
    throw cwrpexception(code);
}

void setCrashDumpHook(CrashDumpHook hook) {
    crashDumpHook.store(hook);
}

SeTranslatorScope::SeTranslatorScope() : active_(install()) {
    if (active_) {
        frame_.previous = currentFrame();
        TlsSetValue(frameSlot, &frame_);
    }
}

SeTranslatorScope::~SeTranslatorScope() {
    if (active_)
        TlsSetValue(frameSlot, frame_.previous);
}
