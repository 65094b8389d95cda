// fat_disk_image.cpp

#include "real_kernel/fat_disk_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "real_kernel/child_process.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;

const std::vector<std::string>& MtoolsEnvironment()
{
    static const std::vector<std::string> environment{"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null", "LC_ALL=C.UTF-8"};
    return environment;
}

std::string MtoolsDrive(const fs::path& image)
{
    return image.string() + "@@" + std::to_string(PartitionStartSector / 2048) + "M";
}

std::array<uint8_t, 512> MasterBootRecord(uint64_t diskBytes)
{
    std::array<uint8_t, 512> sector{};
    const uint32_t sectors = static_cast<uint32_t>(diskBytes / 512 - PartitionStartSector);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) sector[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    const size_t entry = 446;
    sector[entry] = 0x80;  // active: the partition ReactOS makes drive C
    // CHS fields at their maximum: the partition is addressed by LBA only.
    sector[entry + 1] = sector[entry + 5] = 0xFE;
    sector[entry + 2] = sector[entry + 3] = sector[entry + 6] = sector[entry + 7] = 0xFF;
    sector[entry + 4] = 0x06;  // FAT16, 32 MiB and over
    put32(entry + 8, static_cast<uint32_t>(PartitionStartSector));
    put32(entry + 12, sectors);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

void MakeFatDiskImage(const fs::path& image, uint64_t diskBytes, uint32_t clusterBytes)
{
    {
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        std::array<uint8_t, 512> record = MasterBootRecord(diskBytes);
        out.write(reinterpret_cast<const char*>(record.data()), record.size());
        if (!out) throw CheckError("cannot write " + image.string());
    }
    fs::resize_file(image, diskBytes);
    const uint64_t partitionKiB = (diskBytes - PartitionStartSector * 512) / 1024;
    // --invariant: a fixed volume id and times, so the same disk gives the
    // same bytes every time.
    RunOrThrow({"mkfs.fat", "-F", "16", "-S", "512", "-s", std::to_string(clusterBytes / 512), "--invariant",
                "--offset", std::to_string(PartitionStartSector), image.string(), std::to_string(partitionKiB)});
}

uint64_t ParseBytesFree(std::string_view listing)
{
    const size_t words = listing.rfind(" bytes free");
    if (words == std::string_view::npos) throw CheckError("mdir's listing gives no free bytes: " + std::string(listing));
    size_t start = words;
    while (start > 0 && (std::isdigit(static_cast<unsigned char>(listing[start - 1])) || listing[start - 1] == ' ' ||
                         listing[start - 1] == ',')) {
        --start;
    }
    std::string digits;
    for (char c : listing.substr(start, words - start)) {
        if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    }
    if (digits.empty()) throw CheckError("mdir's listing gives no free bytes: " + std::string(listing));
    return std::stoull(digits);
}

uint64_t FreeBytesOnFatImage(const fs::path& image)
{
    return ParseBytesFree(RunOrThrow({"mdir", "-i", MtoolsDrive(image), "::/"}, {.environment = MtoolsEnvironment()}));
}

std::vector<FatEntry> ParseAttributeListing(std::string_view listing)
{
    std::vector<FatEntry> entries;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string_view::npos) end = listing.size();
        std::string_view line = listing.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;

        // "LETTERS ::/path": the letters may be none, the path may hold spaces.
        size_t root = line.find("::/");
        std::string_view letters = root == std::string_view::npos ? line : line.substr(0, root);
        if (root == std::string_view::npos || letters.empty() || letters.back() != ' ' ||
            letters.substr(0, letters.size() - 1).find_first_not_of("ASHRD") != std::string_view::npos) {
            throw CheckError("cannot read this line of mattrib's listing: '" + std::string(line) + "'");
        }
        std::string path(line.substr(root + 3));
        if (path.empty()) continue;  // the root itself
        entries.push_back({path, std::string(letters.substr(0, letters.size() - 1))});
    }
    return entries;
}

std::vector<FatItem> ReadFatDiskImage(const fs::path& image)
{
    const std::string drive = MtoolsDrive(image);
    ProcessOptions options{.environment = MtoolsEnvironment()};
    ProcessResult listing = RunProcess({"mattrib", "-i", drive, "-/", "-X", "::/"}, options);
    std::vector<FatEntry> entries = ParseAttributeListing(listing.out);
    // mattrib exits 1 with 'File "::/" not found' when its walk meets no file,
    // directories only.
    bool noFiles = listing.exitCode == 1 && listing.err == "mattrib: File \"::/\" not found\n" &&
                   std::all_of(entries.begin(), entries.end(), [](const FatEntry& e) { return e.Directory(); });
    if (listing.exitCode != 0 && !noFiles) {
        throw CheckError("cannot list " + drive + " with mattrib: " + listing.err);
    }

    std::vector<FatItem> items;
    for (const FatEntry& entry : entries) {
        if (entry.Directory()) {
            items.push_back({testbed::Directory(entry.path), entry.attributes});
        } else {
            std::string bytes = RunOrThrow({"mtype", "-i", drive, "::/" + entry.path}, options);
            items.push_back({testbed::File(entry.path, std::move(bytes), entry.ReadOnly()), entry.attributes});
        }
    }
    std::sort(items.begin(), items.end(), [](const FatItem& a, const FatItem& b) { return a.item.path < b.item.path; });
    return items;
}

}  // namespace quarnhold::real_kernel
