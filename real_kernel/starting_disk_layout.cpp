// starting_disk_layout.cpp

#include "real_kernel/starting_disk_layout.h"

#include <fstream>

#include "real_kernel/child_process.h"
#include "real_kernel/fat_disk_image.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;

std::optional<std::string> WhyFatCannotHold(const fault_sweep::StartingDisk& disk)
{
    if (disk.writeProtected) return "a write-protected volume (QEMU refuses a read-only IDE hard disk)";
    if (!disk.foreignOpens.empty()) {
        return "a handle held open by another program (a lock or a pending delete come with one)";
    }
    if (disk.onlyOn == testbed::FileSystem::Ntfs) return "something only NTFS can hold";
    for (const testbed::DiskItem& item : disk.items) {
        if (item.kind == testbed::DiskItem::Kind::Link) return "a link (" + item.path + "), which FAT has no form for";
    }
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

void LayOnFatDiskImage(const fault_sweep::StartingDisk& disk, const fs::path& image, const fs::path& payloadFolder)
{
    MtoolsLayout layout = MtoolsLayoutFor(disk, MtoolsDrive(image), payloadFolder);
    fs::create_directories(payloadFolder);
    for (const Payload& payload : layout.payloads) {
        std::ofstream out(payload.hostFile, std::ios::binary | std::ios::trunc);
        out << payload.bytes;
        if (!out) throw CheckError("cannot write " + payload.hostFile.string());
    }
    for (const std::vector<std::string>& command : layout.commands) {
        RunOrThrow(command, {.environment = MtoolsEnvironment()});
    }
}

}  // namespace quarnhold::real_kernel
