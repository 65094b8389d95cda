// model_run.h
//
// The model's answer for the same starting disk: quarnhold-run on a folder
// laid from the same table, its drive C a FAT volume as the real disk is.

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fault_sweep/starting_disks.h"

namespace quarnhold::real_kernel {

// quarnhold-run's arguments that give drive C the file system of the real
// disk; given only when there is a drive C.
const std::vector<std::string>& ModelFileSystemArguments();

struct ModelRun {
    std::vector<std::string> messages;  // each DbgPrint's bytes (GBK)
    std::optional<uint32_t> status;     // what DriverEntry returned, when it returned
    std::string failure;                // quarnhold-run's reason, when the run failed
    std::optional<std::filesystem::path> driveC;  // the folder the run had as drive C, when it had one
};

// quarnhold-run's arguments for one start: the first lays `disk` itself
// (--start-disk: its items, the opens others hold, its free clusters) in a
// scratch folder it keeps, under the TMPDIR the caller gives it; a later
// start runs on `previousDriveC`, the folder the start before it left.
std::vector<std::string> ModelCommand(const std::filesystem::path& tool, const std::filesystem::path& image,
                                      const fault_sweep::StartingDisk& disk,
                                      const std::optional<std::filesystem::path>& previousDriveC);

// Runs ModelCommand with TMPDIR set to `scratchParent`. Throws CheckError
// when the tool cannot run or its output is not a run record.
ModelRun RunModel(const std::filesystem::path& tool, const std::filesystem::path& image,
                  const fault_sweep::StartingDisk& disk, const std::optional<std::filesystem::path>& previousDriveC,
                  const std::filesystem::path& scratchParent);

// The run record quarnhold-run --json wrote, read. Throws CheckError.
ModelRun ParseRunRecord(const std::string& json);

}  // namespace quarnhold::real_kernel
