// starting_disk_layout.cpp

#include "real_kernel/starting_disk_layout.h"

#include <algorithm>
#include <fstream>

#include "real_kernel/child_process.h"
#include "real_kernel/fat_disk_image.h"
#include "real_kernel/held_state.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;

std::optional<std::string> WhyFatCannotHold(const fault_sweep::StartingDisk& disk)
{
    if (disk.writeProtected) {
        return "a write-protected volume: QEMU refuses readonly=on for an IDE hard disk ('Block node is read-only'), "
               "so the guest cannot be shown a write-protected drive C";
    }
    if (disk.onlyOn == testbed::FileSystem::Ntfs) return "something only NTFS can hold";
    for (const testbed::DiskItem& item : disk.items) {
        if (item.kind == testbed::DiskItem::Kind::Link) return "a link (" + item.path + "), which FAT has no form for";
    }
    if (std::optional<std::string> held = WhyStagerCannotHold(disk)) return held;
    return std::nullopt;
}

MtoolsLayout MtoolsLayoutFor(const fault_sweep::StartingDisk& disk, const std::string& drive,
                             const fs::path& payloadFolder)
{
    if (std::optional<std::string> reason = WhyFatCannotHold(disk)) {
        throw CheckError("the starting disk " + disk.name + " cannot be laid on FAT: it holds " + *reason);
    }
    MtoolsLayout layout;
    for (const testbed::DiskItem& item : disk.items) {
        const std::string target = "::/" + item.path;
        if (item.kind == testbed::DiskItem::Kind::Directory) {
            layout.commands.push_back({"mmd", "-i", drive, target});
            continue;
        }
        fs::path payload = payloadFolder / ("file-" + std::to_string(layout.payloads.size()));
        layout.payloads.push_back({payload, item.content});
        layout.commands.push_back({"mcopy", "-i", drive, payload.string(), target});
        if (item.readOnly) layout.commands.push_back({"mattrib", "-i", drive, "+r", target});
    }
    return layout;
}

uint64_t FillerBytes(const fault_sweep::StartingDisk& disk, uint64_t freeBytes)
{
    const uint64_t left = disk.space.freeClusters * disk.space.clusterBytes;
    return freeBytes > left ? freeBytes - left : 0;
}

uint64_t LayOnFatDiskImage(const fault_sweep::StartingDisk& disk, const fs::path& image, const fs::path& payloadFolder,
                           uint64_t diskBytes)
{
    const std::string drive = MtoolsDrive(image);
    MtoolsLayout layout = MtoolsLayoutFor(disk, drive, payloadFolder);
    MakeFatDiskImage(image, diskBytes, disk.space.clusterBytes);
    fs::create_directories(payloadFolder);
    for (const Payload& payload : layout.payloads) {
        std::ofstream out(payload.hostFile, std::ios::binary | std::ios::trunc);
        out << payload.bytes;
        if (!out) throw CheckError("cannot write " + payload.hostFile.string());
    }
    for (const std::vector<std::string>& command : layout.commands) {
        RunOrThrow(command, {.environment = MtoolsEnvironment()});
    }
    if (!disk.foreignOpens.empty()) WriteHeldState(disk, image);

    const uint64_t filler = FillerBytes(disk, FreeBytesOnFatImage(image));
    if (filler == 0) return 0;
    const fs::path payload = payloadFolder / "filler";
    {
        std::ofstream out(payload, std::ios::binary | std::ios::trunc);
        if (!out) throw CheckError("cannot write " + payload.string());
    }
    fs::resize_file(payload, filler);  // sparse on the host: it holds zeros
    RunOrThrow({"mcopy", "-i", drive, payload.string(), "::/" + std::string(VolumeFiller)},
               {.environment = MtoolsEnvironment()});
    fs::remove(payload);
    const uint64_t left = FreeBytesOnFatImage(image);
    if (left != disk.space.freeClusters * disk.space.clusterBytes) {
        throw CheckError("the volume of " + disk.name + " has " + std::to_string(left) + " bytes free once filled, not " +
                         std::to_string(disk.space.freeClusters * disk.space.clusterBytes));
    }
    return filler;
}

bool IsLaidFiller(const testbed::DiskItem& item, uint64_t fillerBytes)
{
    return fillerBytes != 0 && item.path == VolumeFiller && item.kind == testbed::DiskItem::Kind::File &&
           item.content.size() == fillerBytes &&
           std::all_of(item.content.begin(), item.content.end(), [](char c) { return c == '\0'; });
}

}  // namespace quarnhold::real_kernel
