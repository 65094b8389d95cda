// Reads IoStatusBlock.Information after a create that failed, which the
// kernel never writes on an error: the value printed is whatever the stack
// held, so the emulator's fill pattern shows instead of a lucky zero.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    static const WCHAR Missing[] = u"\\??\\c:\\missing";
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    HANDLE Handle;

    DbgPrint("reading Information after a failed create");
    Name.Length = sizeof(Missing) - sizeof(WCHAR);
    Name.MaximumLength = sizeof(Missing);
    Name.Buffer = const_cast<PWSTR>(Missing);
    InitializeObjectAttributes(&ObjectAttributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = ZwCreateFile(&Handle, SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0, 0, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    DbgPrint("status %08X, Information %08X", Status, static_cast<ULONG>(IoStatusBlock.Information));
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
