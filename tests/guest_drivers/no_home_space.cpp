// Calls DbgPrint without reserving the 32 bytes of home space above the
// return address, which the amd64 convention gives the callee to use as it
// likes. DriverEntry is written out by hand: it saves RBX with a push, which
// realigns the stack, and calls at once, so the callee's home space holds
// the saved RBX and DriverEntry's own return address.

#include "kernel/kernel_services.h"

extern "C" __attribute__((used)) const char NoHomeSpaceMessage[] = "calling without home space";

extern "C" __attribute__((naked)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    __asm__(
        "pushq %rbx\n\t"
        "leaq NoHomeSpaceMessage(%rip), %rcx\n\t"
        "callq *__imp_DbgPrint(%rip)\n\t"
        "popq %rbx\n\t"
        "movl $0xC0000182, %eax\n\t"
        "retq");
}
