// Returns with ESI changed, which stdcall requires the callee to preserve:
// the assembly clears ESI without telling the compiler, so nothing restores it.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("clobbering ESI");
    __asm__ volatile("xorl %%esi, %%esi" ::: "memory");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
