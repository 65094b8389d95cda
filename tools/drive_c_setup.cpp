// drive_c_setup.cpp

#include "tools/drive_c_setup.h"

#include <stdlib.h>

#include <stdexcept>

#include "testbed/scratch_disk.h"
#include "tools/exit_status.h"

namespace quarnhold::tools {
namespace {

namespace fs = std::filesystem;

// A fresh folder to stand in for drive C; kept after the run so a person can
// look at what the driver made.
std::optional<fs::path> MakeScratchDriveC()
{
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "quarnhold-c-XXXXXX").string();
    if (error || mkdtemp(pattern.data()) == nullptr) {
        return std::nullopt;
    }
    return fs::path(pattern);
}

}  // namespace

std::variant<PreparedDriveC, Refusal> PrepareDriveC(const RunOptions& options)
{
    std::error_code error;
    PreparedDriveC drive;
    drive.writeProtected = options.writeProtected;
    if (options.startDisk) {
        const fault_sweep::StartingDisk* startDisk = nullptr;
        try {
            startDisk = &fault_sweep::FindStartingDisk(*options.startDisk);
        } catch (const std::out_of_range&) {
            return Refusal{ExitBadArguments, "no starting disk named " + *options.startDisk +
                                                 "; 'quarnhold-run --start-disk list' names them"};
        }
        drive.startDisk = startDisk->name;
        drive.writeProtected = startDisk->writeProtected;
        drive.foreignOpens = startDisk->foreignOpens;
        if (startDisk->driveC) {
            drive.folder = MakeScratchDriveC();
            if (!drive.folder) {
                return Refusal{ExitRunFailed, "cannot make a scratch folder for drive C"};
            }
            drive.scratch = true;
            testbed::LayDown(*drive.folder, startDisk->items);
        }
    } else if (options.driveC) {
        if (!fs::exists(*options.driveC, error)) {
            return Refusal{ExitBadArguments, "no such folder for drive C: " + options.driveC->string()};
        }
        if (!fs::is_directory(*options.driveC, error)) {
            return Refusal{ExitBadArguments, options.driveC->string() + " is not a folder, so it cannot be drive C"};
        }
        drive.folder = fs::absolute(*options.driveC);
    } else if (!options.noDriveC) {
        drive.folder = MakeScratchDriveC();
        if (!drive.folder) {
            return Refusal{ExitRunFailed, "cannot make a scratch folder for drive C"};
        }
        drive.scratch = true;
    }
    return drive;
}

}  // namespace quarnhold::tools
