// memory_volume.h
//
// A volume held in memory (see volume.h), for the fault sweep: it is laid
// down from a starting disk's items and read back as items, as a scratch
// folder is with LayDown and ReadDisk, without a host call. It answers the
// model's calls as the host volume does on a folder that holds the same
// items; where the host has limits of its own (names of 255 bytes of UTF-8,
// its own free space), it answers as NT would: a name of more than 255
// UTF-16 units is OBJECT_NAME_INVALID, and the volume has the free space it
// is made with.

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testbed/scratch_disk.h"
#include "testbed/volume.h"

namespace quarnhold::testbed {

class MemoryVolume final : public Volume {
public:
    // Free space enough for any run, and little enough that a write past it
    // is refused rather than kept.
    static constexpr uint64_t DefaultFreeBytes = uint64_t{1} << 30;

    // Holds `items` as LayDown lays them in a folder, parents first. Throws
    // TestBedError for an item whose folder is not there, or that would
    // replace something other than itself.
    explicit MemoryVolume(const std::vector<DiskItem>& items = {}, uint64_t freeBytes = DefaultFreeBytes);

    // Everything on the volume, sorted by path, as ReadDisk reads a folder.
    std::vector<DiskItem> Items() const;

    bool SameObject(const VolumeNode& a, const VolumeNode& b) const override;
    uint64_t FreeBytes() const override { return freeBytes_; }
    NtStatus CreateDirectory(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) override;
    NtStatus CreateFile(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) override;
    NtStatus OpenForWriting(VolumeNode& node) override;
    NtStatus WriteAt(const VolumeNode& file, uint64_t offset, std::span<const uint8_t> data) override;
    NtStatus Truncate(const VolumeNode& file) override;
    uint64_t SizeOf(const VolumeNode& file) const override;
    FileGlimpse Glimpse(const VolumeNode& file, size_t headBytes) const override;

protected:
    VolumeNode Root() const override;
    std::optional<VolumeNode> Child(const VolumeNode& directory, const std::string& name,
                                    bool directoryWanted) const override;
    void VisitNames(const VolumeNode& directory, const std::function<void(const char* name)>& visit) const override;

private:
    struct Entry : VolumeObject {
        NodeKind kind = NodeKind::File;
        std::string content;  // a file's bytes, or a link's target
        bool readOnly = false;
        std::map<std::string, std::shared_ptr<Entry>> children;  // a directory's, by name as on disk (UTF-8)
    };

    static Entry& Held(const VolumeNode& node);
    static VolumeNode NodeOf(const std::shared_ptr<Entry>& entry, std::string volumePath);
    NtStatus Create(const VolumeNode& parent, std::u16string_view name, NodeKind kind, VolumeNode& created);
    void Collect(const Entry& directory, const std::string& prefix, std::vector<DiskItem>& items) const;

    std::shared_ptr<Entry> root_;
    uint64_t freeBytes_;
};

}  // namespace quarnhold::testbed
