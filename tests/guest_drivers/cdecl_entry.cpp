// DriverEntry with the wrong calling convention: it leaves its arguments on
// the stack, which a stdcall caller does not expect.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS __cdecl DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("cdecl entry");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
