// Opens the root of drive C and closes the handle twice.

#include "kernel/kernel_services.h"

namespace {
constexpr WCHAR RootName[] = u"\\??\\c:\\";
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    HANDLE DirectoryHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    UNICODE_STRING Root = {sizeof(RootName) - sizeof(WCHAR), sizeof(RootName), const_cast<PWSTR>(RootName)};

    DbgPrint("closing a handle twice");
    InitializeObjectAttributes(&ObjectAttributes, &Root, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = ZwCreateFile(&DirectoryHandle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    if (Status != STATUS_SUCCESS) return Status;
    ZwClose(DirectoryHandle);
    ZwClose(DirectoryHandle);
    return STATUS_SUCCESS;
}
