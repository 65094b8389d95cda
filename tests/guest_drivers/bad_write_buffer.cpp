// Opens a file on drive C and hands ZwWriteFile a Buffer in unmapped memory.

#include "kernel/kernel_services.h"

namespace {
constexpr WCHAR FileName[] = u"\\??\\c:\\written.txt";
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    HANDLE FileHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    UNICODE_STRING Name = {sizeof(FileName) - sizeof(WCHAR), sizeof(FileName), const_cast<PWSTR>(FileName)};

    DbgPrint("bad write Buffer");
    InitializeObjectAttributes(&ObjectAttributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = ZwCreateFile(&FileHandle, SYNCHRONIZE | FILE_WRITE_DATA, &ObjectAttributes, &IoStatusBlock,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (Status != STATUS_SUCCESS) return Status;
    ZwWriteFile(FileHandle, nullptr, nullptr, nullptr, &IoStatusBlock, reinterpret_cast<PVOID>(0x00001000), 4, nullptr,
                nullptr);
    ZwClose(FileHandle);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
