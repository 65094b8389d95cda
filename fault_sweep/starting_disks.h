// starting_disks.h
//
// The drives C a run can start from: empty, left by earlier runs, missing,
// write-protected, with names in the way, with test.txt or the directory
// held open by others (locked, or about to be deleted).
// The scenario table and the fault sweep both start from these.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/driver_run.h"
#include "testbed/kernel_model.h"
#include "testbed/memory_volume.h"
#include "testbed/scratch_disk.h"

namespace quarnhold::fault_sweep {

struct StartingDisk {
    std::string name;         // an identifier: letters, digits and underscores
    std::string description;  // what it holds, in a few words
    bool driveC = true;
    bool writeProtected = false;
    std::vector<testbed::DiskItem> items;
    std::vector<testbed::ForeignOpen> foreignOpens;
    // Only NTFS can hold it: a symbolic link is a reparse point, which FAT
    // has no room for.
    bool ntfsOnly = false;
};

const std::vector<StartingDisk>& StartingDisks();

// The disk of that name; throws std::out_of_range for an unknown one.
const StartingDisk& FindStartingDisk(std::string_view name);

// The file systems `disk` can be laid down on, NTFS first.
std::vector<testbed::FileSystem> FileSystemsOf(const StartingDisk& disk);

// The setup of a run over `folder` laid out as `disk` on `fileSystem`, with
// `faults` injected. The caller lays the items down; a disk without drive C
// ignores the folder.
RunSetup SetupFor(const StartingDisk& disk, const std::filesystem::path& folder, testbed::FileSystem fileSystem,
                  std::vector<testbed::InjectedFault> faults = {});

// The setup of a run over `volume`, laid down from `disk`'s items by the
// caller, as SetupFor's. A disk without drive C ignores the volume.
RunSetup SetupInMemory(const StartingDisk& disk, std::shared_ptr<testbed::MemoryVolume> volume,
                       testbed::FileSystem fileSystem, std::vector<testbed::InjectedFault> faults = {});

// The model SetupFor describes.
testbed::KernelModel ModelFor(const StartingDisk& disk, const std::filesystem::path& folder,
                              testbed::FileSystem fileSystem, std::vector<testbed::InjectedFault> faults = {});

}  // namespace quarnhold::fault_sweep
