// Calls DbgPrint with the stack 8 bytes off the 16-byte alignment the amd64
// convention requires at every call. DriverEntry is written out by hand: it
// reserves the 32 bytes of home space but not the 8 more that would realign
// the stack after its own return address, then calls and returns.

#include "kernel/kernel_services.h"

extern "C" __attribute__((used)) const char MisalignedMessage[] = "calling with a misaligned stack";

extern "C" __attribute__((naked)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    __asm__(
        "subq $0x20, %rsp\n\t"
        "leaq MisalignedMessage(%rip), %rcx\n\t"
        "callq *__imp_DbgPrint(%rip)\n\t"
        "addq $0x20, %rsp\n\t"
        "movl $0xC0000182, %eax\n\t"
        "retq");
}
