// Opens the root of drive C, keeps the handle in a ULONG and closes what
// that gives back. On i386 that is the handle itself; on amd64 a kernel
// handle is a negative 64-bit value, and the ULONG widened again without its
// sign is no handle at all: the bug of a driver ported from i386 that kept
// handles in 32-bit fields.

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

    DbgPrint("keeping a handle in a ULONG");
    InitializeObjectAttributes(&ObjectAttributes, &Root, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = ZwCreateFile(&DirectoryHandle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    if (NT_SUCCESS(Status)) {
        volatile ULONG Kept = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(DirectoryHandle));
        ZwClose(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Kept)));
    }
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
