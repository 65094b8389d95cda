// Returns with R12 changed, which the amd64 convention requires the callee
// to preserve: the assembly clears R12 without telling the compiler, so
// nothing restores it.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("clobbering R12");
    __asm__ volatile("xorl %%r12d, %%r12d" ::: "memory");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
