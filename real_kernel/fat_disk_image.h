// fat_disk_image.h
//
// Drive C for ReactOS: a raw disk image with a master boot record and one
// active FAT16 partition at 1 MiB, made with mkfs.fat and read back with
// mtools: every file and directory, with its FAT attributes and bytes.

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "testbed/scratch_disk.h"

namespace quarnhold::real_kernel {

constexpr uint64_t DiskImageBytes = 64ull << 20;
constexpr uint64_t PartitionStartSector = 2048;  // 1 MiB

// The mtools settings every call gets: no checks that would refuse a
// mkfs.fat volume, no user configuration, and UTF-8 names.
const std::vector<std::string>& MtoolsEnvironment();

// The drive name mtools takes for the partition of `image`: IMAGE@@1M.
std::string MtoolsDrive(const std::filesystem::path& image);

// The first sector of a `diskBytes` disk: one active partition of type 0x06
// (FAT16) from sector 2048 to the end, and the 0x55AA signature.
std::array<uint8_t, 512> MasterBootRecord(uint64_t diskBytes);

// Writes a fresh disk image: the boot record, then mkfs.fat -F 16 on the
// partition, with clusters of `clusterBytes`. Throws CheckError when a tool
// fails.
void MakeFatDiskImage(const std::filesystem::path& image, uint64_t diskBytes = DiskImageBytes,
                      uint32_t clusterBytes = 4096);

// The bytes free on the image's partition, as mdir counts them.
uint64_t FreeBytesOnFatImage(const std::filesystem::path& image);

// mdir's listing's last figure: "  65 974 272 bytes free" -> 65974272.
// Throws CheckError when the listing has none.
uint64_t ParseBytesFree(std::string_view listing);

// One line of `mattrib -/ -X`: the attribute letters (A, S, H, R, D) and the
// path under the root, '/'-separated.
struct FatEntry {
    std::string path;
    std::string attributes;

    bool Directory() const { return attributes.find('D') != std::string::npos; }
    bool ReadOnly() const { return attributes.find('R') != std::string::npos; }
    bool operator==(const FatEntry&) const = default;
};

// Parses `mattrib -/ -X ::/` output, leaving out the root itself. Throws
// CheckError on a line it cannot read.
std::vector<FatEntry> ParseAttributeListing(std::string_view listing);

// A file or directory read back from the image, as the model's disk items
// are (a file's read-only flag is the FAT R attribute), with all its FAT
// attribute letters beside it.
struct FatItem {
    testbed::DiskItem item;
    std::string attributes;
};

// Everything on the image's partition, sorted by path.
std::vector<FatItem> ReadFatDiskImage(const std::filesystem::path& image);

}  // namespace quarnhold::real_kernel
