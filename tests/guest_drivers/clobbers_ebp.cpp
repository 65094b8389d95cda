// Returns with EBP cleared. A compiled routine that uses EBP as its frame
// pointer restores it in its epilogue, so DriverEntry is written out by hand:
// it calls a helper for the message and the status, clears EBP, and returns
// popping its two arguments as stdcall asks.

#include "kernel/kernel_services.h"

// PrintClobbering
//
// Prints the message and gives DriverEntry its status; called only from the
// assembly below, so it is marked used.
extern "C" __attribute__((used)) NTSTATUS PrintClobbering(void)
{
    DbgPrint("clobbering EBP");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}

extern "C" __attribute__((naked)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    __asm__(
        "calll _PrintClobbering\n\t"
        "xorl %ebp, %ebp\n\t"
        "retl $8");
}
