// scratch_disk.h
//
// A folder that stands in for drive C, and its whole contents as values: to
// lay down a run's starting disk and compare the disk a run leaves behind.
// Every host operation here is checked, and reaches the folder's contents
// through descriptors without following links (see host_files.h): a failure,
// or a disk that comes out other than asked, throws TestBedError.

#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quarnhold::testbed {

struct DiskItem {
    enum class Kind { Directory, File, Link };
    std::string path;  // '/'-separated, relative to the folder
    Kind kind = Kind::File;
    std::string content;    // a file's bytes, or a link's target
    bool readOnly = false;  // a file without write permission
    // A file read only in part: how many of its bytes follow `content`
    // unread (see ReadDiskItem).
    uint64_t unreadBytes = 0;

    bool operator==(const DiskItem&) const = default;
};

DiskItem Directory(std::string path);
DiskItem File(std::string path, std::string content, bool readOnly = false);
DiskItem Link(std::string path, std::string target);

// Creates `items` under `folder`, parents first, and checks on each what the
// host made: a failure, or an item that came out other than asked (a file
// short of its content, a mode the host would not set), throws TestBedError.
void LayDown(const std::filesystem::path& folder, const std::vector<DiskItem>& items);

// Removes everything under `folder`, keeping the folder.
void Clear(const std::filesystem::path& folder);

// Everything under `folder`, sorted by path; links are recorded, not followed.
std::vector<DiskItem> ReadDisk(const std::filesystem::path& folder);

// The item at `path` ('/'-separated) under `folder`, reached without
// following links, as ReadDisk reads each (a file with a second name is
// refused); nothing when there is none. Of a file, only the first
// `headBytes` bytes are read; the rest is counted in unreadBytes.
std::optional<DiskItem> ReadDiskItem(const std::filesystem::path& folder, const std::string& path,
                                     size_t headBytes = SIZE_MAX);

// "Quarnhold/test.txt (20 bytes, read-only)", "Quarnhold/", "a -> b".
std::string DescribeItem(const DiskItem& item);
// A readable line per item, for failure messages.
std::string Describe(const std::vector<DiskItem>& items);
void PrintTo(const DiskItem& item, std::ostream* out);

// Where scratch folders go: $TMPDIR when set; otherwise memory-backed
// /dev/shm when there is one, since a scratch disk needs no durability and a
// fault sweep lays one down thousands of times; otherwise the system's
// temporary directory.
std::filesystem::path ScratchParent();

// A fresh folder, removed with all it holds when the object goes, or when
// the process is interrupted (see RemoveScratchFoldersNow).
class ScratchFolder {
public:
    // Throws TestBedError, with the host's reason, when the folder cannot
    // be made.
    explicit ScratchFolder(const std::filesystem::path& parent = ScratchParent());
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

    // Leaves the folder in place when the object goes.
    void Keep();
    // Removes the folder now; throws TestBedError when the host refuses.
    void Remove();

private:
    std::filesystem::path path_;
    int slot_ = -1;      // where an interrupt handler finds it; -1: not registered
    bool done_ = false;  // kept or removed already
};

// Removes every scratch folder this process holds. Async-signal-safe, for an
// interrupt handler that must leave nothing behind.
void RemoveScratchFoldersNow() noexcept;

}  // namespace quarnhold::testbed
