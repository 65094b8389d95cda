// Returns with EDI changed, which stdcall requires the callee to preserve:
// the assembly clears EDI without telling the compiler, so nothing restores it.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("clobbering EDI");
    __asm__ volatile("xorl %%edi, %%edi" ::: "memory");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
