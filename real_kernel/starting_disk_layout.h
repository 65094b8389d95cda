// starting_disk_layout.h
//
// A starting disk of the sweep's table (fault_sweep/starting_disks.cpp), laid
// onto a FAT disk image with mtools, so the real kernel starts from exactly
// the disk the model starts from.

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fault_sweep/starting_disks.h"

namespace quarnhold::real_kernel {

// Why a FAT disk under ReactOS cannot hold `disk` (a link, a handle held open
// by another program, a write-protected volume), or nothing when it can.
std::optional<std::string> WhyFatCannotHold(const fault_sweep::StartingDisk& disk);

// One file's bytes, to be written to a host file for mcopy to copy.
struct Payload {
    std::filesystem::path hostFile;
    std::string bytes;
};

struct MtoolsLayout {
    std::vector<Payload> payloads;
    std::vector<std::vector<std::string>> commands;  // run in order, after the payloads are written
};

// The mtools commands that lay `disk`'s items onto the partition `drive`
// (MtoolsDrive), parents first as the table lists them: mmd for a directory,
// mcopy of a payload under `payloadFolder` for a file, mattrib +r for a
// read-only file. Throws CheckError for a disk FAT cannot hold.
MtoolsLayout MtoolsLayoutFor(const fault_sweep::StartingDisk& disk, const std::string& drive,
                             const std::filesystem::path& payloadFolder);

// Writes the payloads and runs the commands.
void LayOnFatDiskImage(const fault_sweep::StartingDisk& disk, const std::filesystem::path& image,
                       const std::filesystem::path& payloadFolder);

}  // namespace quarnhold::real_kernel
