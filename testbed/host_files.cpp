// host_files.cpp

#include "testbed/host_files.h"

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quarnhold::testbed {
namespace {

// Deeper than any drive C a run makes; a deeper tree is refused rather than
// allowed to run the stack out inside an interrupt handler.
constexpr int MaxRemovalDepth = 64;

// getdents64's record, as the kernel lays it out.
struct DirectoryRecord {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

bool IsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int RemoveContentsAt(int directory, int depth, bool untilEmpty) noexcept;

// Empties the directory open as `directory`, then removes it with `remove`
// (0, or -1 with errno, as the host calls return). One pass is enough
// unless the directory will not go after it.
template <class Remove>
int EmptyAndRemove(int directory, int depth, Remove remove) noexcept
{
    if (int failed = RemoveContentsAt(directory, depth, false); failed != 0) return failed;
    if (remove() == 0 || errno == ENOENT) return 0;
    if (errno != ENOTEMPTY) return errno;
    if (int failed = RemoveContentsAt(directory, depth, true); failed != 0) return failed;
    return remove() == 0 || errno == ENOENT ? 0 : errno;
}

// Removes the entry `name` of `directory`, and what it holds when it is a
// directory.
int RemoveEntry(int directory, const char* name, unsigned char type, int depth) noexcept
{
    if (type != DT_DIR) {
        if (unlinkat(directory, name, 0) == 0 || errno == ENOENT) return 0;
        if (errno != EISDIR) return errno;
    }
    int sub = openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) return errno == ENOENT ? 0 : errno;
    int failed = EmptyAndRemove(sub, depth + 1, [&] { return unlinkat(directory, name, AT_REMOVEDIR); });
    close(sub);
    return failed;
}

// Removes what `directory` holds: one pass, or, with `untilEmpty`, passes
// until one finds nothing, since removing entries while reading the
// directory may make the reading skip some.
int RemoveContentsAt(int directory, int depth, bool untilEmpty) noexcept
{
    if (depth > MaxRemovalDepth) return ELOOP;
    alignas(8) char buffer[2048];
    for (;;) {
        if (lseek(directory, 0, SEEK_SET) < 0) return errno;
        bool found = false;
        long got;
        while ((got = syscall(SYS_getdents64, directory, buffer, sizeof(buffer))) > 0) {
            for (long at = 0; at < got;) {
                const auto* record = reinterpret_cast<const DirectoryRecord*>(buffer + at);
                at += record->length;
                if (IsDotOrDotDot(record->name)) continue;
                found = true;
                if (int failed = RemoveEntry(directory, record->name, record->type, depth); failed != 0) {
                    return failed;
                }
            }
        }
        if (got < 0) return errno;
        if (!found || !untilEmpty) return 0;
    }
}

}  // namespace

int ListDirectory(int directory, const std::function<void(const char* name, unsigned char type)>& visit)
{
    alignas(8) char buffer[4096];
    long got;
    while ((got = syscall(SYS_getdents64, directory, buffer, sizeof(buffer))) > 0) {
        for (long at = 0; at < got;) {
            const auto* record = reinterpret_cast<const DirectoryRecord*>(buffer + at);
            at += record->length;
            if (!IsDotOrDotDot(record->name)) visit(record->name, record->type);
        }
    }
    return got < 0 ? errno : 0;
}

HostFd::~HostFd()
{
    if (fd_ >= 0) close(fd_);
}

HostFd& HostFd::operator=(HostFd&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

HostFd Reopen(int held, int flags)
{
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", held);
    return HostFd(open(path, flags | O_CLOEXEC));
}

int ReadSome(int fd, uint64_t offset, size_t count, std::string& content)
{
    const size_t start = content.size();
    content.resize(start + count);
    size_t got = 0;
    while (got < count) {
        ssize_t now = pread(fd, content.data() + start + got, count - got, static_cast<off_t>(offset + got));
        if (now < 0 && errno == EINTR) continue;
        if (now < 0) {
            content.resize(start + got);
            return errno;
        }
        if (now == 0) break;
        got += static_cast<size_t>(now);
    }
    content.resize(start + got);
    return 0;
}

int ReadAll(int fd, std::string& content, size_t limit)
{
    char buffer[4096];
    for (size_t left = limit; left > 0;) {
        ssize_t got = read(fd, buffer, std::min(sizeof(buffer), left));
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        content.append(buffer, static_cast<size_t>(got));
        left -= static_cast<size_t>(got);
    }
    return 0;
}

int WriteAllAt(int fd, std::string_view data, uint64_t offset)
{
    while (!data.empty()) {
        ssize_t written = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return ENOSPC;
        data.remove_prefix(static_cast<size_t>(written));
        offset += static_cast<uint64_t>(written);
    }
    return 0;
}

int RemoveContents(int directory) noexcept
{
    return RemoveContentsAt(directory, 0, true);
}

int RemoveTree(const char* path) noexcept
{
    int directory = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return errno == ENOENT ? 0 : errno;
    int failed = EmptyAndRemove(directory, 0, [&] { return rmdir(path); });
    close(directory);
    return failed;
}

}  // namespace quarnhold::testbed
