// volume.h
//
// The volume behind drive C, as the kernel model asks for it: names looked
// up the way NT looks them up, directories and files made, files written and
// truncated. Two kinds hold one: a folder on the host (host_volume.h), where
// a person can look at what a run made, and memory (memory_volume.h), for a
// fault sweep that runs the driver tens of thousands of times and reads
// every disk back. The walk down a path is this class's own, so both answer
// every lookup alike; tests/volume_test.cpp holds them to the same answers
// for the rest.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "testbed/nt_status.h"

namespace quarnhold::testbed {

enum class NodeKind { File, Directory, Other };

// What a file holds now, as far as a report shows it.
struct FileGlimpse {
    uint64_t size = 0;
    std::string head;    // its first bytes, as many as asked for
    bool named = true;   // false: no name on the volume leads to it any more
};

// What a volume keeps of an object it found or made, for as long as a node
// names it: descriptors on the host, the entry itself in memory.
class VolumeObject {
public:
    virtual ~VolumeObject() = default;
};

// A file or directory on the volume.
struct VolumeNode {
    // The object itself, held whatever its name becomes.
    std::shared_ptr<VolumeObject> object;
    std::string volumePath;  // below the root, '\'-separated, as named on disk (UTF-8); empty for the root
    NodeKind kind = NodeKind::Other;
    bool readOnly = false;  // FILE_ATTRIBUTE_READONLY

    // The name in the directory it was found in: the last component of
    // volumePath, NUL-terminated.
    const char* Name() const;
};

// Where a walk down the components ended.
struct VolumeLookup {
    // 0, or the status that stopped the walk before the last component:
    // OBJECT_PATH_NOT_FOUND, or IO_REPARSE_TAG_NOT_HANDLED at a link.
    NtStatus status = status::Success;
    std::optional<VolumeNode> parent;  // the directory that holds the last component
    std::optional<VolumeNode> node;    // the last component, when it exists
};

// NT's comparison of names that ignores case: one UTF-16 unit at a time,
// through the upcase table.
bool NamesMatch(std::u16string_view a, std::u16string_view b);

// "a\b": `name` as named in the directory at `parent`.
std::string JoinVolumePath(const std::string& parent, const std::string& name);

class Volume {
public:
    virtual ~Volume() = default;

    // Walks `components` from the root; an empty list finds the root. A name
    // is matched exactly first; when the caller ignores case and nothing
    // matches exactly, the first name in byte order that matches without
    // case, so that a directory holding both "a" and "A" answers the same
    // way every time. A component that is not valid UTF-16 names nothing.
    VolumeLookup Find(const std::vector<std::u16string>& components, bool caseInsensitive) const;

    // Whether two nodes are the same object.
    virtual bool SameObject(const VolumeNode& a, const VolumeNode& b) const = 0;

    // The bytes free to a writer.
    virtual uint64_t FreeBytes() const = 0;

    // Create a directory or an empty file named `name` in `parent`. A new
    // file comes open for writing.
    virtual NtStatus CreateDirectory(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) = 0;
    virtual NtStatus CreateFile(const VolumeNode& parent, std::u16string_view name, VolumeNode& created) = 0;

    // Opens the file `node` for writing, so that every write through it goes
    // to the very file the lookup found.
    virtual NtStatus OpenForWriting(VolumeNode& node) = 0;

    // Writes `data` at `offset` of a file open for writing, extending it
    // when needed and never truncating it.
    virtual NtStatus WriteAt(const VolumeNode& file, uint64_t offset, std::span<const uint8_t> data) = 0;
    virtual NtStatus Truncate(const VolumeNode& file) = 0;

    // The file's size now.
    virtual uint64_t SizeOf(const VolumeNode& file) const = 0;

    // The file's size and its first `headBytes` bytes at most, read from
    // the very file `file` holds, whatever its names lead to now.
    virtual FileGlimpse Glimpse(const VolumeNode& file, size_t headBytes) const = 0;

protected:
    virtual VolumeNode Root() const = 0;
    // The child of `directory` named exactly `name` (UTF-8, as on disk),
    // without following a link; nothing when there is none. `directoryWanted`
    // says the walk goes through it, which a volume may use to look less.
    virtual std::optional<VolumeNode> Child(const VolumeNode& directory, const std::string& name,
                                            bool directoryWanted) const = 0;
    // Calls `visit` with the name of each child of `directory`.
    virtual void VisitNames(const VolumeNode& directory, const std::function<void(const char* name)>& visit) const = 0;

private:
    std::optional<VolumeNode> FindChild(const VolumeNode& directory, std::u16string_view name, bool caseInsensitive,
                                        bool directoryWanted) const;
};

}  // namespace quarnhold::testbed
