// scratch_disk.cpp

#include "testbed/scratch_disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace quarnhold::testbed {

namespace fs = std::filesystem;

DiskItem Directory(std::string path)
{
    return DiskItem{std::move(path), DiskItem::Kind::Directory, "", false};
}

DiskItem File(std::string path, std::string content, bool readOnly)
{
    return DiskItem{std::move(path), DiskItem::Kind::File, std::move(content), readOnly};
}

DiskItem Link(std::string path, std::string target)
{
    return DiskItem{std::move(path), DiskItem::Kind::Link, std::move(target), false};
}

void LayDown(const fs::path& folder, const std::vector<DiskItem>& items)
{
    for (const DiskItem& item : items) {
        fs::path target = folder / item.path;
        switch (item.kind) {
        case DiskItem::Kind::Directory:
            fs::create_directories(target);
            break;
        case DiskItem::Kind::File: {
            std::ofstream(target, std::ios::binary) << item.content;
            if (item.readOnly) {
                fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            }
            break;
        }
        case DiskItem::Kind::Link:
            fs::create_symlink(item.content, target);
            break;
        }
    }
}

void Clear(const fs::path& folder)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        fs::remove_all(entry.path());
    }
}

std::vector<DiskItem> ReadDisk(const fs::path& folder)
{
    std::vector<DiskItem> items;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        std::string path = it->path().lexically_relative(folder).generic_string();
        if (it->is_symlink()) {
            items.push_back(Link(path, fs::read_symlink(it->path()).string()));
        } else if (it->is_directory()) {
            items.push_back(Directory(path));
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            bool readOnly = (fs::symlink_status(it->path()).permissions() & fs::perms::owner_write) == fs::perms::none;
            items.push_back(File(path, content, readOnly));
        }
    }
    std::sort(items.begin(), items.end(), [](const DiskItem& a, const DiskItem& b) { return a.path < b.path; });
    return items;
}

std::string Describe(const std::vector<DiskItem>& items)
{
    std::ostringstream text;
    for (const DiskItem& item : items) {
        switch (item.kind) {
        case DiskItem::Kind::Directory: text << "  " << item.path << "/\n"; break;
        case DiskItem::Kind::Link: text << "  " << item.path << " -> " << item.content << "\n"; break;
        case DiskItem::Kind::File:
            text << "  " << item.path << " (" << item.content.size() << " bytes" << (item.readOnly ? ", read-only" : "")
                 << ")\n";
            break;
        }
    }
    return items.empty() ? "  (empty)\n" : text.str();
}

void PrintTo(const DiskItem& item, std::ostream* out)
{
    std::string line = Describe({item});
    *out << line.substr(2, line.size() - 3);
}

namespace {

// Where scratch folders go: $TMPDIR when set; otherwise memory-backed
// /dev/shm when there is one, since a scratch disk needs no durability and a
// fault sweep lays one down thousands of times; otherwise the system's
// temporary directory.
fs::path ScratchParent()
{
    if (const char* chosen = std::getenv("TMPDIR"); chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    std::error_code error;
    if (fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK | X_OK) == 0) {
        return "/dev/shm";
    }
    return fs::temp_directory_path();
}

}  // namespace

ScratchFolder::ScratchFolder()
{
    fs::path parent = ScratchParent();
    std::string pattern = (parent / "quarnhold-c-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder under " + parent.string());
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

}  // namespace quarnhold::testbed
