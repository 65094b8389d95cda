// known_differences.cpp

#include "real_kernel/known_differences.h"

#include <initializer_list>

#include "fault_sweep/expected_messages.h"
#include "testbed/text_encoding.h"

namespace quarnhold::real_kernel {
namespace {

namespace message = fault_sweep::message;
using fault_sweep::Printed;

// The messages, printed as the driver prints them, in GBK, run together.
std::string Transcript(std::initializer_list<std::string> printed)
{
    std::string bytes;
    for (const std::string& text : printed) bytes += testbed::Utf8ToGbk(text).value();
    return bytes;
}

// Where ReactOS stops when its FAT driver cannot allocate a cluster on a
// full volume: an assertion in IoFreeIrp, at which the Debug build waits in
// its debugger.
constexpr std::string_view FullVolumeStop = "*** Assertion failed: Irp->Type == IO_TYPE_IRP";
constexpr std::string_view FullVolumeEvidence =
    "ReactOS's FAT driver (drivers/filesystems/fastfat) ends a cluster allocation that fails on a full volume in "
    "IoFreeIrp's ASSERT(Irp->Type == IO_TYPE_IRP) (ntoskrnl/io/iomgr/irp.c), and the Debug livecd stops in its "
    "debugger; Windows' FastFAT returns STATUS_DISK_FULL: FatAllocateDiskSpace raises it when the volume has too "
    "few free clusters (allocsup.c), for the write that grows a file past its clusters (FatCommonWrite, write.c, "
    "through FatAddFileAllocation) and for the new directory's first cluster (FatInitializeDirectoryDirent, "
    "dirsup.c)";

}  // namespace

const std::vector<KnownDifference>& KnownDifferences()
{
    // A write to a directory differed until the model gained FAT's answer
    // (FastFAT's FatCommonWrite: STATUS_INVALID_PARAMETER). These are
    // ReactOS's own.
    static const std::vector<KnownDifference> differences{
        {"test_file_locked_by_another_handle",
         DifferenceKind::RefereeDiffersFromWindows,
         Transcript({Printed(message::DriverEntry), Printed(message::CreatingDirectory),
                     Printed(message::DirectoryOpened), Printed(message::CreatingFile),
                     Printed(message::FileCreateFailed, 0xC0000035), Printed(message::OpeningFile),
                     Printed(message::FileOpened), Printed(message::FileWritten), Printed(message::DriverExit)}),
         std::vector<testbed::DiskItem>{testbed::Directory("Quarnhold"),
                                        testbed::File("Quarnhold/test.txt", std::string(fault_sweep::TestFileContent))},
         "ReactOS writes over the lock another handle holds, because both handles belong to the System process",
         "ReactOS's FsRtlCheckLockForWriteAccess (ntoskrnl/fsrtl/filelock.c) lets a write through when the lock's "
         "process is the writer's, whatever the handle, and every auto-start driver runs in the System process; "
         "Windows owns an exclusive lock by file object, process and key (LockFileEx's documentation: a second "
         "handle of the locking process cannot write the locked range), and FastFAT's FatCommonWrite (write.c) "
         "fails the write with STATUS_FILE_LOCK_CONFLICT when FsRtlCheckLockForWriteAccess refuses it"},
        {"full_volume_empty",
         DifferenceKind::RefereeDiffersFromWindows,
         Transcript({Printed(message::DriverEntry), Printed(message::CreatingDirectory)}),
         std::nullopt,
         "ReactOS stops in its debugger creating the directory on a full volume, where Windows answers "
         "STATUS_DISK_FULL",
         std::string(FullVolumeEvidence),
         std::string(FullVolumeStop)},
        {"user_install",
         DifferenceKind::RefereeDiffersFromWindows,
         Transcript({Printed(message::DriverEntry), Printed(message::CreatingDirectory),
                     Printed(message::DirectoryCreated), Printed(message::CreatingFile), Printed(message::FileCreated),
                     Printed(message::OpeningFile), Printed(message::FileOpened), Printed(message::FileWritten),
                     Printed(message::DriverExit)}),
         std::nullopt,
         "the install script sees the start fail with error 317, not 87, and ReactOS's cmd hands the runner exit 0 "
         "for the script's exit /b 317; the driver's messages, its status and test.txt agree",
         "ReactOS's NtLoadDriver (ntoskrnl/io/iomgr/driver.c) returns STATUS_FAILED_DRIVER_ENTRY for a DriverEntry "
         "that fails, not the driver's own status, and sc.exe shows it as error 317 with a placeholder message; "
         "Windows returns the driver's 0xC0000182, which maps to Win32 error 87 (RtlNtStatusToDosError, "
         "sdk/lib/rtl/error.c), as install/README.txt says. ReactOS's cmd (base/shell/cmd) gives the runner "
         "errorlevel 0 after the script's endlocal & exit /b 317, as seen on this livecd; on Windows the script "
         "exits 0 after error 87",
         std::nullopt,
         "exit 0; [SC] StartService FAILED 317:"},
        {"full_volume_directory_only",
         DifferenceKind::RefereeDiffersFromWindows,
         Transcript({Printed(message::DriverEntry), Printed(message::CreatingDirectory),
                     Printed(message::DirectoryOpened), Printed(message::CreatingFile), Printed(message::FileCreated),
                     Printed(message::OpeningFile), Printed(message::FileOpened)}),
         std::nullopt,
         "ReactOS stops in its debugger on the write that needs a cluster of a full volume, where Windows answers "
         "STATUS_DISK_FULL",
         std::string(FullVolumeEvidence),
         std::string(FullVolumeStop)},
    };
    return differences;
}

const KnownDifference* FindKnownDifference(const std::string& scenario)
{
    for (const KnownDifference& difference : KnownDifferences()) {
        if (difference.scenario == scenario) return &difference;
    }
    return nullptr;
}

}  // namespace quarnhold::real_kernel
