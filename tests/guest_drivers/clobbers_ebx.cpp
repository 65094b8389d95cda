// Returns with EBX changed, which stdcall requires the callee to preserve:
// the assembly clears EBX without telling the compiler, so nothing restores it.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("clobbering EBX");
    __asm__ volatile("xorl %%ebx, %%ebx" ::: "memory");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
