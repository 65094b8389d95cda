// Returns with XMM6 changed, which the amd64 convention requires the callee
// to preserve (XMM6 to XMM15): the assembly clears XMM6 without telling the
// compiler, which builds the driver without SSE and so never saves it.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("clobbering XMM6");
    __asm__ volatile("xorps %%xmm6, %%xmm6" ::: "memory");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
