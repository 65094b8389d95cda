// Registers an unload routine by writing DriverObject->DriverUnload (offset
// 0x34 on i386), which a one-shot driver must never do.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DbgPrint("writing DriverUnload");
    reinterpret_cast<volatile ULONG*>(DriverObject)[0x34 / 4] = 0;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
