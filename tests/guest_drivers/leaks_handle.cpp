// Opens the root of drive C and never closes the handle.

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

    DbgPrint("leaking a handle");
    InitializeObjectAttributes(&ObjectAttributes, &Root, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ZwCreateFile(&DirectoryHandle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0,
                 FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return STATUS_SUCCESS;
}
