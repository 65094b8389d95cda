// host_volume.h
//
// A volume whose root is a folder on the host, so a person can look at what
// a run made. Names are matched the way NT matches them, case-insensitively
// when asked; permissions are the model's own (a host file without write
// permission is a read-only file, for root as for anyone), not the host's.
// Symbolic links are never followed: the model cannot leave the folder.

#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "testbed/nt_status.h"

namespace quarnhold::testbed {

enum class NodeKind { File, Directory, Other };

// A file or directory on the volume.
struct HostNode {
    std::filesystem::path hostPath;
    std::string volumePath;  // below the root, '\'-separated, as named on disk (UTF-8); empty for the root
    NodeKind kind = NodeKind::Other;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool readOnly = false;  // FILE_ATTRIBUTE_READONLY
    uint64_t size = 0;

    bool SameObject(const HostNode& other) const { return device == other.device && inode == other.inode; }
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
    // Throws std::runtime_error when `root` is not a folder.
    explicit HostVolume(const std::filesystem::path& root);

    const std::filesystem::path& Root() const { return root_; }

    // Walks `components` from the root; an empty list finds the root.
    VolumeLookup Find(const std::vector<std::u16string>& components, bool caseInsensitive) const;

    // Create a directory or an empty file named `name` in `parent`.
    NtStatus CreateDirectory(const HostNode& parent, std::u16string_view name, HostNode& created) const;
    NtStatus CreateFile(const HostNode& parent, std::u16string_view name, HostNode& created) const;

    // Writes `data` at `offset`, extending the file when needed and never
    // truncating it.
    NtStatus WriteAt(const HostNode& file, uint64_t offset, std::span<const uint8_t> data) const;
    NtStatus Truncate(const HostNode& file) const;

    // The node's size now.
    std::optional<uint64_t> SizeOf(const HostNode& file) const;

private:
    std::optional<HostNode> Describe(const std::filesystem::path& hostPath, std::string volumePath) const;
    // Makes `name` in `parent` with `make` (0 or -1 with errno, as the host
    // calls return) and describes what it made.
    NtStatus CreateChild(const HostNode& parent, std::u16string_view name, HostNode& created,
                         const std::function<int(const char* path)>& make) const;
    std::optional<HostNode> FindChild(const HostNode& directory, std::u16string_view name, bool caseInsensitive) const;

    std::filesystem::path root_;
};

}  // namespace quarnhold::testbed
