// Opens a file on drive C and writes two bytes at a ByteOffset above 4 GiB
// whose two halves differ (0x00000001 and 0x00000010), so that a kernel
// that puts the halves together wrongly, or keeps only one, writes
// elsewhere. Not faulty: built for the host too, and run both ways.

#include "kernel/kernel_services.h"

namespace {
constexpr WCHAR FileName[] = u"\\??\\c:\\far.txt";
constexpr char Text[] = "ab";
}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    HANDLE FileHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    UNICODE_STRING Name = {sizeof(FileName) - sizeof(WCHAR), sizeof(FileName), const_cast<PWSTR>(FileName)};

    InitializeObjectAttributes(&ObjectAttributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = ZwCreateFile(&FileHandle, SYNCHRONIZE | FILE_WRITE_DATA, &ObjectAttributes, &IoStatusBlock,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (Status != STATUS_SUCCESS) return Status;
    LARGE_INTEGER ByteOffset;
    ByteOffset.QuadPart = 0x100000010LL;
    Status = ZwWriteFile(FileHandle, nullptr, nullptr, nullptr, &IoStatusBlock, const_cast<char*>(Text), 2,
                         &ByteOffset, nullptr);
    DbgPrint("write at 4 GiB + 16: %08X", Status);
    ZwClose(FileHandle);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
