// Hands ZwCreateFile an OBJECT_ATTRIBUTES pointer into unmapped memory.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    HANDLE FileHandle;
    IO_STATUS_BLOCK IoStatusBlock;
    DbgPrint("bad OBJECT_ATTRIBUTES");
    ZwCreateFile(&FileHandle, SYNCHRONIZE, reinterpret_cast<POBJECT_ATTRIBUTES>(0x00001000), &IoStatusBlock,
                 nullptr, 0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
