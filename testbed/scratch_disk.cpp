// scratch_disk.cpp

#include "testbed/scratch_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "testbed/host_files.h"
#include "testbed/test_bed_error.h"

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

namespace {

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t end = path.find('/', start);
        parts.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

HostFd OpenFolder(const fs::path& folder, int flags)
{
    HostFd fd(open(folder.c_str(), flags | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throw TestBedError("open the folder", folder, errno);
    return fd;
}

// The directory that holds `parts.back()`, walked down from `root` without
// following links; nothing when a part of the way is missing.
std::optional<HostFd> OpenParent(int root, const fs::path& folder, const std::vector<std::string>& parts)
{
    HostFd current(fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!current) throw TestBedError("hold open", folder, errno);
    fs::path reached = folder;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        reached /= parts[i];
        HostFd next(openat(current.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return std::nullopt;
            throw TestBedError("open the folder", reached, errno);
        }
        current = std::move(next);
    }
    return current;
}

void ReadTree(int directory, const std::string& prefix, const fs::path& hostPath, std::vector<DiskItem>& items);

bool WithoutWriteBits(mode_t mode)
{
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// The entry `name` of `directory` as an item, and, for a directory, what it
// holds into `items`; nothing when the entry is gone. The entry is held
// first without being opened for I/O (O_PATH opens no FIFO, device or
// terminal), its kind is read on that descriptor, and only a folder or a
// regular file is then opened for reading, through it: nothing swapped in
// under the name in between is ever read, waited on or followed. A file
// with more than one hard link is refused, as the run refuses it: another
// of its names may lie outside the folder.
std::optional<DiskItem> ReadEntry(int directory, const std::string& name, const std::string& path,
                                  const fs::path& hostPath, std::vector<DiskItem>* items,
                                  size_t headBytes = SIZE_MAX)
{
    HostFd held(openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!held) {
        if (errno == ENOENT) return std::nullopt;
        throw TestBedError("open", hostPath, errno);
    }
    struct stat info {};
    if (fstat(held.get(), &info) != 0) throw TestBedError("look at", hostPath, errno);
    if (S_ISLNK(info.st_mode)) {
        std::array<char, PATH_MAX> target{};
        ssize_t length = readlinkat(held.get(), "", target.data(), target.size());
        if (length < 0) throw TestBedError("read the link", hostPath, errno);
        return Link(path, std::string(target.data(), static_cast<size_t>(length)));
    }
    if (S_ISDIR(info.st_mode)) {
        if (items != nullptr) {
            HostFd listing(openat(held.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!listing) throw TestBedError("open", hostPath, errno);
            ReadTree(listing.Release(), path + "/", hostPath, *items);
        }
        return Directory(path);
    }
    if (!S_ISREG(info.st_mode)) {
        throw TestBedError(hostPath.string() + " is neither a file, a folder nor a link");
    }
    if (info.st_nlink > 1) {
        throw TestBedError(hostPath.string() + " has " + std::to_string(info.st_nlink) +
                           " hard links; another of its names may lie outside the folder, so the test bed reads "
                           "nothing of it");
    }
    HostFd fd = Reopen(held.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd) throw TestBedError("open", hostPath, errno);
    std::string content;
    if (int failed = ReadAll(fd.get(), content, headBytes); failed != 0) throw TestBedError("read", hostPath, failed);
    DiskItem file = File(path, std::move(content), WithoutWriteBits(info.st_mode));
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    file.unreadBytes = size > file.content.size() ? size - file.content.size() : 0;
    return file;
}

// Everything in the directory open as `directory` (which it takes over),
// named under `prefix`.
void ReadTree(int directory, const std::string& prefix, const fs::path& hostPath, std::vector<DiskItem>& items)
{
    HostFd held(directory);
    std::vector<std::string> entries;
    if (int failed = ListDirectory(held.get(), [&](const char* name, unsigned char) { entries.emplace_back(name); });
        failed != 0) {
        throw TestBedError("read the folder", hostPath, failed);
    }
    for (const std::string& name : entries) {
        const size_t before = items.size();
        items.emplace_back();  // the entry comes before what it holds
        std::optional<DiskItem> item = ReadEntry(held.get(), name, prefix + name, hostPath / name, &items);
        if (item) {
            items[before] = std::move(*item);
        } else {
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(before));
        }
    }
}

// The file `name` in `parent`, made anew, or, when one is there, emptied:
// a regular file with no other name only, checked on a descriptor that
// opens nothing before it is opened for writing, so that no FIFO, device
// node or file with a name outside the folder is ever written.
HostFd CreateOrReplace(int parent, const std::string& name, mode_t mode, const fs::path& hostPath)
{
    HostFd made(openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (made || errno != EEXIST) {
        if (!made) throw TestBedError("create the file", hostPath, errno);
        return made;
    }
    HostFd held(openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!held) throw TestBedError("open", hostPath, errno);
    struct stat info {};
    if (fstat(held.get(), &info) != 0) throw TestBedError("look at", hostPath, errno);
    if (!S_ISREG(info.st_mode) || info.st_nlink > 1) {
        throw TestBedError("lay down " + hostPath.string() + ": something other than a file with one name is there");
    }
    HostFd fd = Reopen(held.get(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY);
    if (!fd) throw TestBedError("open for writing", hostPath, errno);
    return fd;
}

[[noreturn]] void CameOutWrong(const fs::path& folder, const DiskItem& asked, const std::string& found)
{
    throw TestBedError("the starting disk under " + folder.string() + " came out wrong: " + DescribeItem(asked) +
                       " was asked for, " + found + " is there");
}

// Creates `item` as `name` in `parent`, and checks on what the host made
// that it is what was asked.
void Create(int parent, const DiskItem& item, const std::string& name, const fs::path& folder)
{
    const fs::path hostPath = folder / item.path;
    switch (item.kind) {
        case DiskItem::Kind::Directory: {
            if (mkdirat(parent, name.c_str(), 0755) == 0) return;
            if (errno != EEXIST) throw TestBedError("create the folder", hostPath, errno);
            struct stat info {};
            if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                throw TestBedError("look at", hostPath, errno);
            }
            if (!S_ISDIR(info.st_mode)) CameOutWrong(folder, item, "something else");
            return;
        }
        case DiskItem::Kind::File: {
            const mode_t mode = item.readOnly ? 0444 : 0644;
            HostFd fd = CreateOrReplace(parent, name, mode, hostPath);
            if (int failed = WriteAllAt(fd.get(), item.content, 0); failed != 0) {
                throw TestBedError("write", hostPath, failed);
            }
            struct stat info {};
            if (fstat(fd.get(), &info) != 0) throw TestBedError("look at", hostPath, errno);
            // Set outright when the umask, or a file there before, made it
            // otherwise, so that no umask makes a writable file read-only;
            // then looked at again, since a host may ignore the change.
            if ((info.st_mode & 07777) != mode) {
                if (fchmod(fd.get(), mode) != 0) throw TestBedError("set the mode of", hostPath, errno);
                if (fstat(fd.get(), &info) != 0) throw TestBedError("look at", hostPath, errno);
            }
            if (close(fd.Release()) != 0) throw TestBedError("write", hostPath, errno);
            if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) != item.content.size() ||
                WithoutWriteBits(info.st_mode) != item.readOnly) {
                CameOutWrong(folder, item,
                             S_ISREG(info.st_mode) ? item.path + " (" + std::to_string(info.st_size) + " bytes" +
                                                         (WithoutWriteBits(info.st_mode) ? ", read-only)" : ")")
                                                   : "something else");
            }
            return;
        }
        case DiskItem::Kind::Link: {
            if (symlinkat(item.content.c_str(), parent, name.c_str()) != 0) {
                throw TestBedError("create the link", hostPath, errno);
            }
            std::array<char, PATH_MAX> target{};
            ssize_t length = readlinkat(parent, name.c_str(), target.data(), target.size());
            if (length < 0) throw TestBedError("read the link", hostPath, errno);
            std::string made(target.data(), static_cast<size_t>(length));
            if (made != item.content) CameOutWrong(folder, item, DescribeItem(Link(item.path, made)));
            return;
        }
    }
}

// Scratch folders an interrupt handler must find: each slot holds one
// folder's path while the folder exists.
constexpr int SlotFree = 0, SlotClaimed = 1, SlotMade = 2;
struct ScratchSlot {
    std::atomic<int> state{SlotFree};
    char path[PATH_MAX];
};
std::array<ScratchSlot, 16> scratchSlots;
static_assert(std::atomic<int>::is_always_lock_free, "an interrupt handler reads the slots");

// Blocks the interrupts that remove scratch folders for as long as it lives,
// so a folder is never made without being registered.
class InterruptsHeld {
public:
    InterruptsHeld()
    {
        sigset_t interrupts;
        sigemptyset(&interrupts);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signal);
        pthread_sigmask(SIG_BLOCK, &interrupts, &previous_);
    }
    ~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

}  // namespace

void LayDown(const fs::path& folder, const std::vector<DiskItem>& items)
{
    HostFd root = OpenFolder(folder, O_PATH);
    std::map<std::string, HostFd> parents;  // by the path of the folder, most items sharing a few
    for (const DiskItem& item : items) {
        std::vector<std::string> parts = SplitPath(item.path);
        std::string parentPath = item.path.substr(0, item.path.size() - parts.back().size());
        auto parent = parents.find(parentPath);
        if (parent == parents.end()) {
            std::optional<HostFd> opened = OpenParent(root.get(), folder, parts);
            if (!opened) {
                throw TestBedError("lay down " + (folder / item.path).string() + ": its folder is not there");
            }
            parent = parents.emplace(parentPath, std::move(*opened)).first;
        }
        Create(parent->second.get(), item, parts.back(), folder);
    }
}

void Clear(const fs::path& folder)
{
    HostFd root = OpenFolder(folder, O_RDONLY);
    if (int failed = RemoveContents(root.get()); failed != 0) {
        throw TestBedError("clear the folder", folder, failed);
    }
}

std::vector<DiskItem> ReadDisk(const fs::path& folder)
{
    std::vector<DiskItem> items;
    ReadTree(OpenFolder(folder, O_RDONLY).Release(), "", folder, items);
    std::sort(items.begin(), items.end(), [](const DiskItem& a, const DiskItem& b) { return a.path < b.path; });
    return items;
}

std::optional<DiskItem> ReadDiskItem(const fs::path& folder, const std::string& path, size_t headBytes)
{
    HostFd root = OpenFolder(folder, O_PATH);
    std::vector<std::string> parts = SplitPath(path);
    std::optional<HostFd> parent = OpenParent(root.get(), folder, parts);
    if (!parent) return std::nullopt;
    return ReadEntry(parent->get(), parts.back(), path, folder / path, nullptr, headBytes);
}

std::string DescribeItem(const DiskItem& item)
{
    switch (item.kind) {
        case DiskItem::Kind::Directory:
            return item.path + "/";
        case DiskItem::Kind::Link:
            return item.path + " -> " + item.content;
        case DiskItem::Kind::File:
            break;
    }
    return item.path + " (" + std::to_string(item.content.size()) + " bytes" + (item.readOnly ? ", read-only" : "") +
           ")";
}

std::string Describe(const std::vector<DiskItem>& items)
{
    std::string text;
    for (const DiskItem& item : items) text += "  " + DescribeItem(item) + "\n";
    return items.empty() ? "  (empty)\n" : text;
}

void PrintTo(const DiskItem& item, std::ostream* out)
{
    *out << DescribeItem(item);
}

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

ScratchFolder::ScratchFolder(const fs::path& parent)
{
    std::string pattern = (parent / "quarnhold-c-XXXXXX").string();
    if (pattern.size() >= PATH_MAX) {
        throw TestBedError("make a scratch folder under", parent, ENAMETOOLONG);
    }
    InterruptsHeld held;
    for (int i = 0; i < static_cast<int>(scratchSlots.size()) && slot_ < 0; ++i) {
        int expected = SlotFree;
        if (scratchSlots[i].state.compare_exchange_strong(expected, SlotClaimed)) slot_ = i;
    }
    // Without a free slot the folder is still removed as usual, only not by
    // an interrupt.
    std::vector<char> unregistered(slot_ >= 0 ? 0 : PATH_MAX);
    char* buffer = slot_ >= 0 ? scratchSlots[slot_].path : unregistered.data();
    std::memcpy(buffer, pattern.c_str(), pattern.size() + 1);
    if (mkdtemp(buffer) == nullptr) {
        int error = errno;
        if (slot_ >= 0) scratchSlots[slot_].state = SlotFree;
        throw TestBedError("make a scratch folder under", parent, error);
    }
    path_ = buffer;
    if (slot_ >= 0) scratchSlots[slot_].state = SlotMade;
}

ScratchFolder::~ScratchFolder()
{
    if (done_) return;
    if (int failed = RemoveTree(path_.c_str()); failed != 0) {
        std::fprintf(stderr, "warning: %s\n", TestBedError("remove the scratch folder", path_, failed).what());
    }
    if (slot_ >= 0) scratchSlots[slot_].state = SlotFree;
}

void ScratchFolder::Keep()
{
    done_ = true;
    if (slot_ >= 0) scratchSlots[slot_].state = SlotFree;
}

void ScratchFolder::Remove()
{
    if (done_) return;
    done_ = true;
    int failed = RemoveTree(path_.c_str());
    if (slot_ >= 0) scratchSlots[slot_].state = SlotFree;
    if (failed != 0) throw TestBedError("remove the scratch folder", path_, failed);
}

void RemoveScratchFoldersNow() noexcept
{
    for (ScratchSlot& slot : scratchSlots) {
        if (slot.state == SlotMade) RemoveTree(slot.path);
    }
}

}  // namespace quarnhold::testbed
