// Registers an unload routine by writing DriverObject->DriverUnload (offset
// 0x34 on i386, 0x68 on amd64), which a one-shot driver must never do.

#include "kernel/kernel_services.h"

#if defined(_M_X64)
constexpr ULONG DriverUnloadOffset = 0x68;
#else
constexpr ULONG DriverUnloadOffset = 0x34;
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DbgPrint("writing DriverUnload");
    reinterpret_cast<volatile ULONG_PTR*>(DriverObject)[DriverUnloadOffset / sizeof(ULONG_PTR)] = 0;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
