// held_state_stager.cpp
//
// A test-only kernel driver for the real-kernel check: it makes the state a
// starting disk holds before quarnhold starts, a handle held by another
// opener. The check installs it as an auto-start service in a load-order
// group; the service manager starts grouped services first, one at a time,
// so it runs to its end before quarnhold, which has no group, is loaded.
// What to hold comes from the disk itself (held_state_record.h): the livecd
// and its registry are made once per check, the disk once per boot. Every
// handle is a kernel handle, kept open until the machine stops, and the
// driver stays loaded. Never for a real machine, and not in the release.

#include "kernel/kernel_services.h"
#include "real_kernel/held_state_stager/held_state_record.h"
#include "real_kernel/held_state_stager/stager_services.h"

namespace {

// The whole first hard disk, partition table and all.
constexpr WCHAR WholeDiskName[] = u"\\Device\\Harddisk0\\Partition0";

// The little-endian values of 32 and 64 bits at Offset.
ULONG ReadUlong(const UCHAR* Bytes, ULONG Offset)
{
    return static_cast<ULONG>(Bytes[Offset]) | static_cast<ULONG>(Bytes[Offset + 1]) << 8 |
           static_cast<ULONG>(Bytes[Offset + 2]) << 16 | static_cast<ULONG>(Bytes[Offset + 3]) << 24;
}

LONGLONG ReadLonglong(const UCHAR* Bytes, ULONG Offset)
{
    return static_cast<LONGLONG>(static_cast<uint64_t>(ReadUlong(Bytes, Offset)) |
                                 static_cast<uint64_t>(ReadUlong(Bytes, Offset + 4)) << 32);
}

// ReadHeldStateRecord
//
// Reads the record's sector of the first hard disk into Record. Runs once,
// from DriverEntry; fails when the machine has no hard disk.
NTSTATUS ReadHeldStateRecord(UCHAR* Record)
{
    UNICODE_STRING Name = {sizeof(WholeDiskName) - sizeof(WCHAR), sizeof(WholeDiskName),
                           const_cast<PWSTR>(WholeDiskName)};
    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK IoStatusBlock;
    HANDLE Disk;
    NTSTATUS Status = ZwCreateFile(&Disk, FILE_READ_DATA | SYNCHRONIZE, &ObjectAttributes, &IoStatusBlock, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(Status)) return Status;
    LARGE_INTEGER Offset;
    Offset.QuadPart = static_cast<LONGLONG>(HeldStateRecord::Sector) * HeldStateRecord::Bytes;
    Status = ZwReadFile(Disk, nullptr, nullptr, nullptr, &IoStatusBlock, Record, HeldStateRecord::Bytes, &Offset,
                        nullptr);
    ZwClose(Disk);
    return Status;
}

// HoldOpen
//
// Makes the open the record describes at Open, and what it asks after it
// (the delete disposition, a lock), and keeps the handle. Prints one line
// with each step's status.
void HoldOpen(const UCHAR* Open)
{
    WCHAR Text[HeldStateRecord::MaximumNameBytes / sizeof(WCHAR)];
    ULONG NameBytes = ReadUlong(Open, HeldStateRecord::NameBytesAt);
    if (NameBytes > HeldStateRecord::MaximumNameBytes) NameBytes = HeldStateRecord::MaximumNameBytes;
    for (ULONG Unit = 0; Unit < NameBytes / sizeof(WCHAR); ++Unit) {
        const UCHAR* At = Open + HeldStateRecord::NameAt + Unit * sizeof(WCHAR);
        Text[Unit] = static_cast<WCHAR>(At[0] | At[1] << 8);
    }
    UNICODE_STRING Name = {static_cast<USHORT>(NameBytes & ~1u), static_cast<USHORT>(sizeof(Text)), Text};
    const ACCESS_MASK DesiredAccess = ReadUlong(Open, HeldStateRecord::DesiredAccessAt);
    const ULONG ShareAccess = ReadUlong(Open, HeldStateRecord::ShareAccessAt);
    const ULONG Actions = ReadUlong(Open, HeldStateRecord::ActionsAt);

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK IoStatusBlock;
    HANDLE Handle;
    NTSTATUS Status = ZwCreateFile(&Handle, DesiredAccess, &ObjectAttributes, &IoStatusBlock, nullptr, 0,
                                   ShareAccess, FILE_OPEN, ReadUlong(Open, HeldStateRecord::CreateOptionsAt), nullptr,
                                   0);
    DbgPrint("quarnhold-stager: holds %wZ (access 0x%08lX, share 0x%lX): open 0x%08lX", &Name, DesiredAccess,
             ShareAccess, Status);
    if (NT_SUCCESS(Status) && (Actions & HeldStateRecord::SetDeleteDisposition)) {
        FILE_DISPOSITION_INFORMATION Disposition;
        Disposition.DeleteFile = TRUE;
        NTSTATUS Set = ZwSetInformationFile(Handle, &IoStatusBlock, &Disposition, sizeof(Disposition),
                                            FileDispositionInformation);
        DbgPrint(", delete disposition 0x%08lX", Set);
    }
    if (NT_SUCCESS(Status) && (Actions & HeldStateRecord::LockExclusively)) {
        LARGE_INTEGER Offset, Length;
        Offset.QuadPart = ReadLonglong(Open, HeldStateRecord::LockOffsetAt);
        Length.QuadPart = ReadLonglong(Open, HeldStateRecord::LockLengthAt);
        NTSTATUS Locked = NtLockFile(Handle, nullptr, nullptr, nullptr, &IoStatusBlock, &Offset, &Length, 0, TRUE,
                                     TRUE);
        DbgPrint(", lock 0x%08lX", Locked);
    }
    DbgPrint("\n");
    // The handle stays open: the state lasts until the machine stops.
}

}  // namespace

// DriverEntry
//
// Called once by the service manager, in the System process, before
// quarnhold's service starts. Holds what the disk's record asks, and stays
// loaded so that its handles stay open.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;

    alignas(16) UCHAR Record[HeldStateRecord::Bytes];
    NTSTATUS Status = ReadHeldStateRecord(Record);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("quarnhold-stager: no held state: the first hard disk cannot be read (0x%08lX)\n", Status);
        return STATUS_SUCCESS;
    }
    for (ULONG At = 0; At < sizeof(HeldStateRecord::Magic); ++At) {
        if (Record[At] != static_cast<UCHAR>(HeldStateRecord::Magic[At])) {
            DbgPrint("quarnhold-stager: no held state on this disk\n");
            return STATUS_SUCCESS;
        }
    }
    ULONG Count = ReadUlong(Record, HeldStateRecord::CountAt);
    if (Count > HeldStateRecord::MaximumOpens) Count = HeldStateRecord::MaximumOpens;
    for (ULONG Open = 0; Open < Count; ++Open) {
        HoldOpen(Record + HeldStateRecord::FirstOpenAt + Open * HeldStateRecord::OpenBytes);
    }
    return STATUS_SUCCESS;
}
