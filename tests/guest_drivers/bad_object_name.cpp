// Hands ZwCreateFile an OBJECT_ATTRIBUTES whose ObjectName points into
// unmapped memory.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    HANDLE FileHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;

    DbgPrint("bad ObjectName");
    InitializeObjectAttributes(&ObjectAttributes, reinterpret_cast<PUNICODE_STRING>(0x00001000),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ZwCreateFile(&FileHandle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0, 0, FILE_OPEN,
                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
