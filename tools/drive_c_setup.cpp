// drive_c_setup.cpp

#include "tools/drive_c_setup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "testbed/test_bed_error.h"
#include "tools/exit_status.h"

namespace quarnhold::tools {
namespace {

namespace fs = std::filesystem;

// Where a scratch drive C a person asked to keep goes: $TMPDIR, or /tmp;
// not memory, where it would stay until the machine restarts.
fs::path KeptScratchParent()
{
    const char* chosen = std::getenv("TMPDIR");
    return chosen != nullptr && *chosen != '\0' ? fs::path(chosen) : fs::path("/tmp");
}

// A fresh scratch drive C, laid out as `items`.
std::unique_ptr<testbed::ScratchFolder> MakeScratchDriveC(bool keep, const std::vector<testbed::DiskItem>& items)
{
    auto folder = std::make_unique<testbed::ScratchFolder>(keep ? KeptScratchParent() : testbed::ScratchParent());
    testbed::LayDown(folder->path(), items);
    return folder;
}

}  // namespace

std::string StartingDiskList()
{
    size_t width = 0;
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks())
        width = std::max(width, disk.name.size());
    std::string lines;
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        lines += disk.name + std::string(width + 2 - disk.name.size(), ' ') + disk.description + "\n";
    }
    return lines;
}

std::string UnknownStartingDisk(const std::string& name)
{
    return "no starting disk named " + name + "; 'quarnhold-run --start-disk list' names them";
}

std::variant<PreparedDriveC, Refusal> PrepareDriveC(const RunOptions& options)
{
    PreparedDriveC drive;
    drive.writeProtected = options.writeProtected;
    drive.keep = options.keepDriveC;
    try {
        if (!options.startDisks.empty()) {
            const std::string& name = options.startDisks.front();
            const fault_sweep::StartingDisk* startDisk = nullptr;
            try {
                startDisk = &fault_sweep::FindStartingDisk(name);
            } catch (const std::out_of_range&) {
                return Refusal{ExitBadArguments, UnknownStartingDisk(name)};
            }
            drive.startDisk = startDisk->name;
            drive.writeProtected = startDisk->writeProtected;
            if (startDisk->ntfsOnly && options.fileSystem != testbed::FileSystem::Ntfs) {
                return Refusal{ExitBadArguments, "starting disk " + startDisk->name +
                                                     " holds a symbolic link, which only NTFS can hold; it cannot "
                                                     "be laid down on FAT"};
            }
            drive.foreignOpens = startDisk->foreignOpens;
            if (startDisk->driveC) {
                drive.scratch = MakeScratchDriveC(drive.keep, startDisk->items);
            }
        } else if (options.driveC) {
            struct stat info {};
            if (stat(options.driveC->c_str(), &info) != 0) {
                if (errno == ENOENT) {
                    return Refusal{ExitBadArguments, "no such folder for drive C: " + options.driveC->string()};
                }
                return Refusal{ExitBadArguments,
                               "cannot use " + options.driveC->string() + " as drive C: " + testbed::ErrnoText(errno)};
            }
            if (!S_ISDIR(info.st_mode)) {
                return Refusal{ExitBadArguments,
                               options.driveC->string() + " is not a folder, so it cannot be drive C"};
            }
            drive.folder = fs::absolute(*options.driveC);
        } else if (!options.noDriveC) {
            drive.scratch = MakeScratchDriveC(drive.keep, {});
        }
    } catch (const testbed::TestBedError& failure) {
        return Refusal{ExitRunFailed, failure.what(), refusal::TestBedError};
    }
    if (drive.scratch) {
        drive.folder = drive.scratch->path();
    }
    return drive;
}

}  // namespace quarnhold::tools
