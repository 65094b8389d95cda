// host_volume.h
//
// A volume whose root is a folder on the host (see volume.h), so a person
// can look at what a run made. Names are matched the way NT matches them, case-insensitively
// when asked; permissions are the model's own (a host file without write
// permission is a read-only file, for root as for anyone), not the host's.
//
// The volume never looks a name up outside its folder. The root is opened
// once; every name is looked up in the directory found before it, one
// component at a time, without following links; each node found keeps its
// own descriptor, and every later step (a create inside it, an open for
// writing, a write, a read back) goes through that descriptor, not through
// a path. A file with more than one hard link is refused: its other name
// may lie outside the folder. What the volume holds it holds wherever it
// goes: a file or folder someone moves out of the folder during a run is
// still written through the handle opened before, as an NT handle follows
// its file; nothing else outside is reached.
//
// A host failure with an NT meaning is answered with NT's status: EROFS is
// STATUS_MEDIA_WRITE_PROTECTED, ENOSPC and EDQUOT are STATUS_DISK_FULL,
// EEXIST is STATUS_OBJECT_NAME_COLLISION. Any other (EACCES, EPERM, EIO,
// ENAMETOOLONG, ELOOP, EFBIG, ...) has none for a kernel-mode caller, and
// throws TestBedError naming the host path, the operation and the errno.

#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "testbed/host_files.h"
#include "testbed/volume.h"

namespace quarnhold::testbed {

// What a node is on the host: the same pair names the same object.
struct HostIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const HostIdentity&) const = default;
};

// What the host volume holds of a file or directory.
struct HostObject : VolumeObject {
    // The object itself, held open whatever its name becomes.
    std::shared_ptr<const HostFd> pinned;
    // The file open for writing, once a write was granted.
    std::shared_ptr<const HostFd> writable;
    // Known once looked at: a directory walked through is not looked at
    // until a comparison needs it (see HostVolume::SameObject). The object
    // is pinned, so what is learnt once holds for the node's life.
    mutable std::optional<HostIdentity> identity;
};

class HostVolume final : public Volume {
public:
    // Opens `root`; throws TestBedError when it cannot be opened as a folder.
    explicit HostVolume(const std::filesystem::path& root);

    // Where `node` is on the host, for messages.
    std::filesystem::path HostPath(const VolumeNode& node) const;

    bool SameObject(const VolumeNode& a, const VolumeNode& b) const override;
    // The bytes free to an unprivileged writer on the folder's file system.
    uint64_t FreeBytes() const override;
    NtStatus CreateDirectory(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) override;
    NtStatus CreateFile(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) override;
    // Opens the very file the lookup found, through the descriptor that
    // holds it, never by its name again.
    NtStatus OpenForWriting(VolumeNode& node) override;
    NtStatus WriteAt(const VolumeNode& file, uint64_t offset, std::span<const uint8_t> data) override;
    NtStatus Truncate(const VolumeNode& file) override;
    uint64_t SizeOf(const VolumeNode& file) const override;
    // Throws TestBedError, too, for a file with more than one hard link.
    FileGlimpse Glimpse(const VolumeNode& file, size_t headBytes) const override;

protected:
    VolumeNode Root() const override { return rootNode_; }
    std::optional<VolumeNode> Child(const VolumeNode& directory, const std::string& name,
                                    bool directoryWanted) const override;
    void VisitNames(const VolumeNode& directory, const std::function<void(const char* name)>& visit) const override;

private:
    // The node held open as `pinned`, named `volumePath`, looked at: its
    // kind, identity and mode.
    VolumeNode Describe(std::shared_ptr<const HostFd> pinned, std::string volumePath) const;
    const HostIdentity& IdentityOf(const VolumeNode& node) const;
    // `node`'s file opened anew for I/O; nothing, with the NT answer in
    // `refused`, when the host refuses with one.
    std::optional<HostFd> Reopened(const VolumeNode& node, int flags, std::string_view operation,
                                   NtStatus& refused) const;

    std::filesystem::path root_;
    VolumeNode rootNode_;
};

}  // namespace quarnhold::testbed
