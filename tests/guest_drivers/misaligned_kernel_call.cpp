// Calls DbgPrint once with the stack on the 16-byte boundary the amd64
// convention requires at every call, then once 8 bytes off it. DriverEntry
// is written out by hand: it reserves the 32 bytes of home space and the 8
// that realign the stack after its own return address, calls, then pushes
// the stack 8 bytes further down and calls again.

#include "kernel/kernel_services.h"

extern "C" __attribute__((used)) const char AlignedMessage[] = "calling with an aligned stack";
extern "C" __attribute__((used)) const char MisalignedMessage[] = "calling with a misaligned stack";

extern "C" __attribute__((naked)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    __asm__(
        "subq $0x28, %rsp\n\t"
        "leaq AlignedMessage(%rip), %rcx\n\t"
        "callq *__imp_DbgPrint(%rip)\n\t"
        "subq $8, %rsp\n\t"
        "leaq MisalignedMessage(%rip), %rcx\n\t"
        "callq *__imp_DbgPrint(%rip)\n\t"
        "addq $0x30, %rsp\n\t"
        "movl $0xC0000182, %eax\n\t"
        "retq");
}
