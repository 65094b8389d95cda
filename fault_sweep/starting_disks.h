// starting_disks.h
//
// The drives C a run can start from: empty, left by earlier runs, missing,
// write-protected, with names in the way, with test.txt held open by others.
// The scenario table and the fault sweep both start from these.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/driver_run.h"
#include "testbed/kernel_model.h"
#include "testbed/scratch_disk.h"

namespace quarnhold::fault_sweep {

struct StartingDisk {
    std::string name;  // an identifier: letters, digits and underscores
    bool driveC = true;
    bool writeProtected = false;
    std::vector<testbed::DiskItem> items;
    std::vector<testbed::ForeignOpen> foreignOpens;
};

const std::vector<StartingDisk>& StartingDisks();

// The disk of that name; throws std::out_of_range for an unknown one.
const StartingDisk& FindStartingDisk(std::string_view name);

// The setup of a run over `folder` laid out as `disk`, with `faults`
// injected. The caller lays the items down; a disk without drive C ignores
// the folder.
RunSetup SetupFor(const StartingDisk& disk, const std::filesystem::path& folder,
                  std::vector<testbed::InjectedFault> faults = {});

// The model SetupFor describes.
testbed::KernelModel ModelFor(const StartingDisk& disk, const std::filesystem::path& folder,
                              std::vector<testbed::InjectedFault> faults = {});

}  // namespace quarnhold::fault_sweep
