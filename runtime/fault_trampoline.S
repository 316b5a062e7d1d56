// Entered in place of a faulting instruction (see setranslator.cpp) with the
// stack as it was at the fault and the instruction's address in ecx/rcx.
// Pushing that address + 1 as a return address makes the unwinder see a call
// made from inside the faulting instruction, so the faulting frame's
// exception table (-fnon-call-exceptions) applies. Then the throwing function
// is called on an aligned stack.

#define SYMBOL(name) SYMBOL_(__USER_LABEL_PREFIX__, name)
#define SYMBOL_(prefix, name) SYMBOL__(prefix, name)
#define SYMBOL__(prefix, name) prefix##name

    .text
    .globl SYMBOL(hvcFaultTrampoline)
SYMBOL(hvcFaultTrampoline):

#if defined(__x86_64__)
    leaq    1(%rcx), %rax
    pushq   %rax
    // SEH unwind data from here on, the fake return address being in place.
    .seh_proc hvcFaultFrame
hvcFaultFrame:
    pushq   %rbp
    .seh_pushreg %rbp
    movq    %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq    $-16, %rsp
    subq    $32, %rsp               // home space for the callee's arguments
    call    SYMBOL(hvcRaiseTranslatedFault)
    ud2                             // keeps the return address inside this function
    .seh_endproc

#elif defined(__i386__)
    leal    1(%ecx), %eax
    pushl   %eax
    // DWARF unwind data from here on, the fake return address being in place.
hvcFaultFrame:
    .cfi_startproc
    pushl   %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl    %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl    $-16, %esp
    call    SYMBOL(hvcRaiseTranslatedFault)
    ud2
    .cfi_endproc

#else
#error "fault_trampoline.S supports x86_64 and i686 only"
#endif
