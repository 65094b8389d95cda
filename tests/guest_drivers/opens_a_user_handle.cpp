// Opens the root of drive C without OBJ_KERNEL_HANDLE, so the handle lands in
// whatever process the driver runs in, and leaves it there. NT lets the open
// through; a verifier reports it, and the run goes on to the end.

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

    DbgPrint("opening a user handle");
    InitializeObjectAttributes(&ObjectAttributes, &Root, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwCreateFile(&DirectoryHandle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0, FILE_SHARE_READ,
                        FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}
