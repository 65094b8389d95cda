// host_volume.h
//
// A volume whose root is a folder on the host, so a person can look at what
// a run made. Names are matched the way NT matches them, case-insensitively
// when asked; permissions are the model's own (a host file without write
// permission is a read-only file, for root as for anyone), not the host's.
//
// The volume never leaves its folder. The root is opened once; every name is
// looked up in the directory found before it, one component at a time,
// without following links; each node found keeps its own descriptor, and
// every later step (a create inside it, a write to it) goes through that
// descriptor, not through a path. A file with more than one hard link is
// refused: its other name may lie outside the folder.
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
#include "testbed/nt_status.h"

namespace quarnhold::testbed {

enum class NodeKind { File, Directory, Other };

// What a node is on the host: the same pair names the same object.
struct HostIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const HostIdentity&) const = default;
};

// A file or directory on the volume.
struct HostNode {
    // The object itself, held open whatever its name becomes.
    std::shared_ptr<const HostFd> pinned;
    // The file open for writing, once a write was granted.
    std::shared_ptr<const HostFd> writable;
    // The directory it was found in; none for the root. Its name there is
    // the last component of volumePath.
    std::shared_ptr<const HostFd> parent;

    std::string volumePath;  // below the root, '\'-separated, as named on disk (UTF-8); empty for the root
    NodeKind kind = NodeKind::Other;
    bool readOnly = false;  // FILE_ATTRIBUTE_READONLY
    uint64_t size = 0;
    // Known once looked at: a directory walked through is not looked at
    // until a comparison needs it (see HostVolume::SameObject). The object
    // is pinned, so what is learnt once holds for the node's life.
    mutable std::optional<HostIdentity> identity;

    // The name in the directory it was found in, NUL-terminated.
    const char* HostName() const;
};
// Where a walk down the components ended.
struct VolumeLookup {
    // 0, or the status that stopped the walk before the last component:
    // OBJECT_PATH_NOT_FOUND, or IO_REPARSE_TAG_NOT_HANDLED at a link.
    NtStatus status = status::Success;
    std::optional<HostNode> parent;  // the directory that holds the last component
    std::optional<HostNode> node;    // the last component, when it exists
};

class HostVolume {
public:
    // Opens `root`; throws TestBedError when it cannot be opened as a folder.
    explicit HostVolume(const std::filesystem::path& root);

    const std::filesystem::path& Root() const { return root_; }

    // Where `node` is on the host, for messages.
    std::filesystem::path HostPath(const HostNode& node) const;

    // Whether two nodes are the same object on the host.
    bool SameObject(const HostNode& a, const HostNode& b) const;

    // The bytes free to an unprivileged writer on the volume's file system.
    uint64_t FreeBytes() const;

    // Walks `components` from the root; an empty list finds the root.
    VolumeLookup Find(const std::vector<std::u16string>& components, bool caseInsensitive) const;

    // Create a directory or an empty file named `name` in `parent`. A new
    // file comes open for writing.
    NtStatus CreateDirectory(const HostNode& parent, std::u16string_view name, HostNode& created) const;
    NtStatus CreateFile(const HostNode& parent, std::u16string_view name, HostNode& created) const;

    // Opens the file `node` for writing, by its name in the directory it was
    // found in; throws TestBedError if that name now leads elsewhere.
    NtStatus OpenForWriting(HostNode& node) const;

    // Writes `data` at `offset` of a file open for writing, extending it
    // when needed and never truncating it.
    NtStatus WriteAt(const HostNode& file, uint64_t offset, std::span<const uint8_t> data) const;
    NtStatus Truncate(const HostNode& file) const;

    // The node's size now.
    uint64_t SizeOf(const HostNode& file) const;

private:
    // The node held open as `pinned`, found in `parent` as the last
    // component of `volumePath`, looked at: its kind, identity, mode and size.
    HostNode Describe(std::shared_ptr<const HostFd> pinned, std::shared_ptr<const HostFd> parent,
                      std::string volumePath) const;
    std::optional<HostNode> FindChild(const HostNode& directory, std::u16string_view name, bool caseInsensitive,
                                      bool directoryWanted) const;
    std::optional<HostNode> OpenChild(const HostNode& directory, const std::string& hostName,
                                      bool directoryWanted) const;
    const HostIdentity& IdentityOf(const HostNode& node) const;

    std::filesystem::path root_;
    HostNode rootNode_;
};

}  // namespace quarnhold::testbed
