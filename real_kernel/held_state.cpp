// held_state.cpp

#include "real_kernel/held_state.h"

#include <algorithm>
#include <fstream>
#include <regex>

#include "real_kernel/child_process.h"
#include "real_kernel/held_state_stager/held_state_record.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/text_encoding.h"

namespace quarnhold::real_kernel {
namespace {

namespace nt = testbed::nt;

constexpr std::u16string_view DrivePrefix = u"\\??\\c:\\";

// The item of `disk` that `open` names, by its path on the volume; nothing
// when the name does not lead to one.
const testbed::DiskItem* HeldItem(const fault_sweep::StartingDisk& disk, const testbed::ForeignOpen& open)
{
    if (!open.path.starts_with(DrivePrefix)) return nullptr;
    std::optional<std::string> path = testbed::Utf16ToUtf8(open.path.substr(DrivePrefix.size()));
    if (!path) return nullptr;
    std::replace(path->begin(), path->end(), '\\', '/');
    auto found = std::find_if(disk.items.begin(), disk.items.end(),
                              [&](const testbed::DiskItem& item) { return item.path == *path; });
    return found == disk.items.end() ? nullptr : &*found;
}

void Put32(std::array<uint8_t, 512>& sector, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) sector[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(std::array<uint8_t, 512>& sector, size_t at, uint64_t value)
{
    Put32(sector, at, static_cast<uint32_t>(value));
    Put32(sector, at + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace

std::optional<std::string> WhyStagerCannotHold(const fault_sweep::StartingDisk& disk)
{
    if (disk.foreignOpens.size() > HeldStateRecord::MaximumOpens) {
        return "more than " + std::to_string(HeldStateRecord::MaximumOpens) + " handles held by others";
    }
    for (const testbed::ForeignOpen& open : disk.foreignOpens) {
        const std::string name = testbed::Utf16ToUtf8(open.path).value_or("?");
        if (HeldItem(disk, open) == nullptr) return "a handle held on " + name + ", which the disk does not hold";
        if (open.path.size() * 2 > HeldStateRecord::MaximumNameBytes) return "a handle held on a name too long: " + name;
    }
    return std::nullopt;
}

std::array<uint8_t, 512> HeldStateSector(const fault_sweep::StartingDisk& disk)
{
    if (std::optional<std::string> reason = WhyStagerCannotHold(disk)) {
        throw CheckError("the stager cannot hold what " + disk.name + " holds: " + *reason);
    }
    std::array<uint8_t, 512> sector{};
    std::copy(std::begin(HeldStateRecord::Magic), std::end(HeldStateRecord::Magic), sector.begin());
    Put32(sector, HeldStateRecord::CountAt, static_cast<uint32_t>(disk.foreignOpens.size()));
    for (size_t i = 0; i < disk.foreignOpens.size(); ++i) {
        const testbed::ForeignOpen& open = disk.foreignOpens[i];
        const size_t at = HeldStateRecord::FirstOpenAt + i * HeldStateRecord::OpenBytes;
        const bool directory = HeldItem(disk, open)->kind == testbed::DiskItem::Kind::Directory;
        uint32_t options = directory ? nt::FileDirectoryFile : nt::FileNonDirectoryFile;
        if (open.desiredAccess & nt::Synchronize) options |= nt::FileSynchronousIoNonalert;
        const uint32_t actions = (open.deletePending ? HeldStateRecord::SetDeleteDisposition : 0) |
                                 (open.lock ? HeldStateRecord::LockExclusively : 0);
        Put32(sector, at + HeldStateRecord::DesiredAccessAt, open.desiredAccess);
        Put32(sector, at + HeldStateRecord::ShareAccessAt, open.shareAccess);
        Put32(sector, at + HeldStateRecord::CreateOptionsAt, options);
        Put32(sector, at + HeldStateRecord::ActionsAt, actions);
        Put64(sector, at + HeldStateRecord::LockOffsetAt, open.lock ? open.lock->offset : 0);
        Put64(sector, at + HeldStateRecord::LockLengthAt, open.lock ? open.lock->length : 0);
        Put32(sector, at + HeldStateRecord::NameBytesAt, static_cast<uint32_t>(open.path.size() * 2));
        for (size_t unit = 0; unit < open.path.size(); ++unit) {
            sector[at + HeldStateRecord::NameAt + 2 * unit] = static_cast<uint8_t>(open.path[unit]);
            sector[at + HeldStateRecord::NameAt + 2 * unit + 1] = static_cast<uint8_t>(open.path[unit] >> 8);
        }
    }
    return sector;
}

void WriteHeldState(const fault_sweep::StartingDisk& disk, const std::filesystem::path& image)
{
    const std::array<uint8_t, 512> sector = HeldStateSector(disk);
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(HeldStateRecord::Sector) * HeldStateRecord::Bytes);
    out.write(reinterpret_cast<const char*>(sector.data()), sector.size());
    if (!out) throw CheckError("cannot write the held state into " + image.string());
}

std::vector<StagerLine> StagerLines(std::string_view log)
{
    static const std::regex line(
        R"(quarnhold-stager: holds [^\r\n]*? \(access 0x[0-9A-F]{8}, share 0x[0-9A-F]+\): open 0x[0-9A-F]{8}(?:, [a-z ]+ 0x[0-9A-F]{8})*)");
    static const std::regex status(R"(: open 0x([0-9A-F]{8})|, [a-z ]+ 0x([0-9A-F]{8}))");
    std::vector<StagerLine> lines;
    const std::string text(log);
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        StagerLine found{it->str(), {}};
        for (std::sregex_iterator s(found.text.begin(), found.text.end(), status); s != end; ++s) {
            const std::string hex = (*s)[1].matched ? (*s)[1].str() : (*s)[2].str();
            found.statuses.push_back(static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
        }
        lines.push_back(std::move(found));
    }
    return lines;
}

std::optional<std::string> WhyHeldStateNotMade(const fault_sweep::StartingDisk& disk,
                                               const std::vector<StagerLine>& lines)
{
    if (lines.size() != disk.foreignOpens.size()) {
        return "the stager printed " + std::to_string(lines.size()) + " line" + (lines.size() == 1 ? "" : "s") +
               " of what it holds, for " + std::to_string(disk.foreignOpens.size()) + " handles to hold";
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const testbed::ForeignOpen& open = disk.foreignOpens[i];
        const size_t steps = 1 + (open.deletePending ? 1 : 0) + (open.lock ? 1 : 0);
        const std::vector<uint32_t>& statuses = lines[i].statuses;
        if (statuses.size() != steps ||
            std::any_of(statuses.begin(), statuses.end(), [](uint32_t status) { return status != 0; })) {
            return "the stager could not make the held state: '" + lines[i].text + "'";
        }
    }
    return std::nullopt;
}

}  // namespace quarnhold::real_kernel
