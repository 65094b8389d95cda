// host_files.h
//
// Host file work done through descriptors, never by re-resolving a path
// string: what the volume and the scratch disks share. A name is looked up
// in a directory the caller holds open, one component at a time, so nothing
// renamed or swapped for a link in the meantime can lead outside it.

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quarnhold::testbed {

// Owns a host file descriptor.
class HostFd {
public:
    HostFd() = default;
    explicit HostFd(int fd) : fd_(fd) {}
    ~HostFd();
    HostFd(HostFd&& other) noexcept : fd_(other.Release()) {}
    HostFd& operator=(HostFd&& other) noexcept;
    HostFd(const HostFd&) = delete;
    HostFd& operator=(const HostFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() noexcept
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// Opens anew, with `flags` (O_RDONLY or O_WRONLY and the like), the very
// object `held` holds, whatever its names lead to by now: through
// /proc/self/fd, so no name is looked up and nothing swapped in under one
// (a FIFO, a device node, a hard link to a file outside) can be reached.
// `held` may be an O_PATH descriptor whose object has been looked at, so
// that nothing but an object of a known kind is ever opened for I/O.
// Invalid, with errno set, when the open fails.
HostFd Reopen(int held, int flags);

// Reads what is left of `fd` into `content`, at most `limit` bytes; 0, or
// the errno of the failure.
int ReadAll(int fd, std::string& content, size_t limit = SIZE_MAX);

// Reads up to `count` bytes of `fd` from `offset` into `content`, fewer
// when the file ends first; 0, or the errno of the failure.
int ReadSome(int fd, uint64_t offset, size_t count, std::string& content);

// Writes all of `data` at `offset`; 0, or the errno of the failure (a
// write that makes no progress counts as ENOSPC).
int WriteAllAt(int fd, std::string_view data, uint64_t offset);

// Calls `visit` with the name and d_type (DT_UNKNOWN when the file system
// gives none) of each entry of the directory open as `directory`, "." and
// ".." aside, from where its reading stands (the start, for a descriptor
// just opened); reads the listing straight into a buffer on the stack, with
// no stream to allocate. 0, or the errno of the failure.
int ListDirectory(int directory, const std::function<void(const char* name, unsigned char type)>& visit);

// Removes everything in the directory open as `directory`, keeping the
// directory; links are removed, never followed. 0, or the errno of the first
// failure. Async-signal-safe: it allocates nothing, so an interrupt handler
// may call it.
int RemoveContents(int directory) noexcept;

// Removes the folder `path` and all it holds, as RemoveContents does; a
// missing folder is no failure. Async-signal-safe.
int RemoveTree(const char* path) noexcept;

}  // namespace quarnhold::testbed
