// Starts DriverEntry with FF D8: a far call through a register, an encoding
// every i386 CPU refuses as invalid. Unicorn 2.0.1 cannot translate it and
// aborts the process that runs it, before the guest executes anything. The
// jump through DbgPrint's import slot after it is never reached; it gives
// the image the base relocation every kernel image needs.

#include "kernel/kernel_services.h"

extern "C" __attribute__((naked)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    __asm__ volatile(
        ".byte 0xFF, 0xD8\n\t"
        "jmpl *__imp__DbgPrint");
}
