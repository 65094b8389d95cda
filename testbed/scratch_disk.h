// scratch_disk.h
//
// A folder that stands in for drive C, and its whole contents as values: to
// lay down a run's starting disk and compare the disk a run leaves behind.

#pragma once

#include <filesystem>
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

    bool operator==(const DiskItem&) const = default;
};

DiskItem Directory(std::string path);
DiskItem File(std::string path, std::string content, bool readOnly = false);
DiskItem Link(std::string path, std::string target);

// Creates `items` under `folder`, parents first.
void LayDown(const std::filesystem::path& folder, const std::vector<DiskItem>& items);

// Removes everything under `folder`, keeping the folder.
void Clear(const std::filesystem::path& folder);

// Everything under `folder`, sorted by path; links are recorded, not followed.
std::vector<DiskItem> ReadDisk(const std::filesystem::path& folder);

// A readable line per item, for failure messages.
std::string Describe(const std::vector<DiskItem>& items);
void PrintTo(const DiskItem& item, std::ostream* out);

// A fresh folder under the system's temporary directory, removed with all it
// holds when the object goes.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace quarnhold::testbed
