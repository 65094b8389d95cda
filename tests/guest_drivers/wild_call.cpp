// Calls through a pointer to nowhere.

#include "kernel/kernel_services.h"

typedef void (*ROUTINE)(void);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("calling nowhere");
    volatile ULONG_PTR Target = 0x12345678;
    reinterpret_cast<ROUTINE>(Target)();
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
