// starting_disk_layout.h
//
// A starting disk of the sweep's table (fault_sweep/starting_disks.cpp), laid
// onto a FAT disk image, so the real kernel starts from exactly the disk the
// model starts from: the items with mtools, the handles others hold as the
// stager's record (held_state.h), and a full volume's lack of free clusters
// as a filler file the comparison leaves out.

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/starting_disks.h"

namespace quarnhold::real_kernel {

// The file that takes a full volume's free clusters, in the root, where the
// driver never looks and its entry takes no cluster (FAT16's root directory
// has a fixed size).
constexpr std::string_view VolumeFiller = "FILLER.BIN";

// Why a FAT disk under ReactOS cannot hold `disk` (a link, a write-protected
// volume, handles the stager cannot hold), or nothing when it can.
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

// The bytes the filler must take, on a volume with `freeBytes` free once the
// items are laid, to leave the disk's free clusters: 0 when the volume has
// no more than that.
uint64_t FillerBytes(const fault_sweep::StartingDisk& disk, uint64_t freeBytes);

// Makes the disk image for `disk` (`diskBytes`, the disk's cluster size),
// lays the items, writes the held state's record when there is one, and
// fills the volume down to the disk's free clusters. Returns the filler's
// size, 0 for none.
uint64_t LayOnFatDiskImage(const fault_sweep::StartingDisk& disk, const std::filesystem::path& image,
                           const std::filesystem::path& payloadFolder, uint64_t diskBytes);

// Whether `item`, read back from the image, is the filler as it was laid
// (`fillerBytes` of zeros), which the comparison leaves out; a filler
// changed stays in, and shows as a difference.
bool IsLaidFiller(const testbed::DiskItem& item, uint64_t fillerBytes);

}  // namespace quarnhold::real_kernel
