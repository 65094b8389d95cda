// drive_c_setup.h
//
// Where a single run's drive C comes from: a folder the person named, a
// fresh scratch folder, a starting disk laid down on one, or none at all.

#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fault_sweep/starting_disks.h"
#include "testbed/scratch_disk.h"
#include "tools/exit_status.h"
#include "tools/run_options.h"

namespace quarnhold::tools {

// Drive C as a run will see it.
struct PreparedDriveC {
    std::optional<std::filesystem::path> folder;  // nothing: no \??\c: link
    // The fresh folder made for this run, removed when this goes unless kept.
    std::unique_ptr<testbed::ScratchFolder> scratch;
    bool keep = false;  // the scratch folder stays after the run
    bool writeProtected = false;
    std::string startDisk;  // the starting disk laid down on it, if one was
    std::vector<testbed::ForeignOpen> foreignOpens;
};

// What --start-disk list prints: each starting disk's name, and what it
// holds, one disk a line.
std::string StartingDiskList();

// "no starting disk named NAME; 'quarnhold-run --start-disk list' names them".
std::string UnknownStartingDisk(const std::string& name);

// Makes or checks drive C as `options` ask. Runs once per single run, after
// the image has loaded, so that an image that cannot load leaves nothing.
std::variant<PreparedDriveC, Refusal> PrepareDriveC(const RunOptions& options);

}  // namespace quarnhold::tools
