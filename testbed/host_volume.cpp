// host_volume.cpp

#include "testbed/host_volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "testbed/test_bed_error.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// The status a file system reports for a host refusal that has an NT
// meaning; runs when a host call of the volume fails. Any other refusal is
// the host's own business (its permissions, its name limits, its I/O), not
// an answer NT would give a kernel-mode caller, so it throws.
NtStatus NtAnswer(int error, std::string_view operation, const std::filesystem::path& hostPath)
{
    switch (error) {
        case EEXIST:
            return status::ObjectNameCollision;
        case ENOSPC:
        case EDQUOT:
            return status::DiskFull;
        case EROFS:
            return status::MediaWriteProtected;
        default:
            throw TestBedError(operation, hostPath, error);
    }
}

// The host volume's own hold on `node`'s object.
const HostObject& Held(const VolumeNode& node)
{
    const auto* held = dynamic_cast<const HostObject*>(node.object.get());
    if (held == nullptr) throw std::logic_error("a node of another volume given to the host volume");
    return *held;
}

}  // namespace

HostVolume::HostVolume(const std::filesystem::path& root)
{
    // The root itself may be reached through links: it is the folder the
    // person chose. Nothing below it is.
    HostFd fd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throw TestBedError("open drive C's folder", root, errno);
    }
    root_ = std::filesystem::absolute(root);
    // Held open, the root stays the directory it was opened as: it is
    // described once here, not on every walk.
    auto held = std::make_shared<HostObject>();
    held->pinned = std::make_shared<const HostFd>(std::move(fd));
    rootNode_.object = std::move(held);
    rootNode_.kind = NodeKind::Directory;
}

std::filesystem::path HostVolume::HostPath(const VolumeNode& node) const
{
    // A component never holds '\', the separator NT splits names at.
    std::string below = node.volumePath;
    std::replace(below.begin(), below.end(), '\\', '/');
    return below.empty() ? root_ : root_ / below;
}

const HostIdentity& HostVolume::IdentityOf(const VolumeNode& node) const
{
    const HostObject& held = Held(node);
    if (!held.identity) {
        struct stat info {};
        if (fstat(held.pinned->get(), &info) != 0) {
            const int error = errno;
            throw TestBedError("look at", HostPath(node), error);
        }
        held.identity = HostIdentity{info.st_dev, info.st_ino};
    }
    return *held.identity;
}

bool HostVolume::SameObject(const VolumeNode& a, const VolumeNode& b) const
{
    return Held(a).pinned == Held(b).pinned || IdentityOf(a) == IdentityOf(b);
}

uint64_t HostVolume::FreeBytes() const
{
    // Through the descriptor: the folder's name may lead elsewhere by now.
    struct statvfs volume {};
    if (fstatvfs(Held(rootNode_).pinned->get(), &volume) != 0) {
        const int error = errno;
        throw TestBedError("look at the file system of", root_, error);
    }
    return static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
}

VolumeNode HostVolume::Describe(std::shared_ptr<const HostFd> pinned, std::string volumePath) const
{
    auto held = std::make_shared<HostObject>();
    held->pinned = std::move(pinned);
    VolumeNode node;
    node.volumePath = std::move(volumePath);
    struct stat info {};
    if (fstat(held->pinned->get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(node), error);
    }
    node.kind = S_ISREG(info.st_mode) ? NodeKind::File : S_ISDIR(info.st_mode) ? NodeKind::Directory : NodeKind::Other;
    if (node.kind == NodeKind::File && info.st_nlink > 1) {
        throw TestBedError(
            HostPath(node).string() + " has " + std::to_string(info.st_nlink) +
            " hard links; another of its names may lie outside drive C, so the test bed leaves it alone");
    }
    held->identity = HostIdentity{info.st_dev, info.st_ino};
    node.readOnly = node.kind == NodeKind::File && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    node.object = std::move(held);
    return node;
}

// The child `name` of `directory`, held open without following a link;
// nothing when there is no such name. A child wanted as a directory (one
// the walk goes through) is opened as one, which says its kind without
// looking at it; anything else there is opened and looked at in full.
std::optional<VolumeNode> HostVolume::Child(const VolumeNode& directory, const std::string& name,
                                            bool directoryWanted) const
{
    const std::shared_ptr<const HostFd>& at = Held(directory).pinned;
    if (directoryWanted) {
        HostFd fd(openat(at->get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) {
            auto held = std::make_shared<HostObject>();
            held->pinned = std::make_shared<const HostFd>(std::move(fd));
            VolumeNode node;
            node.object = std::move(held);
            node.volumePath = JoinVolumePath(directory.volumePath, name);
            node.kind = NodeKind::Directory;
            return node;
        }
        if (errno == ENOENT) return std::nullopt;
        // A file, a link or a refusal: the full look below tells which.
    }
    HostFd fd(openat(at->get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) return std::nullopt;
        throw TestBedError("look up", HostPath(directory) / name, error);
    }
    return Describe(std::make_shared<const HostFd>(std::move(fd)), JoinVolumePath(directory.volumePath, name));
}

void HostVolume::VisitNames(const VolumeNode& directory, const std::function<void(const char* name)>& visit) const
{
    HostFd listing(openat(Held(directory).pinned->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int failed = listing ? ListDirectory(listing.get(), [&](const char* name, unsigned char) { visit(name); }) : errno;
    if (failed != 0) {
        throw TestBedError("read the folder", HostPath(directory), failed);
    }
}

NtStatus HostVolume::CreateDirectory(const VolumeNode& parent, std::u16string_view name, VolumeNode& created)
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    const std::shared_ptr<const HostFd>& at = Held(parent).pinned;
    if (mkdirat(at->get(), hostName->c_str(), 0777) != 0) {
        const int error = errno;
        return NtAnswer(error, "create the directory", HostPath(parent) / *hostName);
    }
    HostFd fd(openat(at->get(), hostName->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        throw TestBedError("open the directory just made", HostPath(parent) / *hostName, error);
    }
    created = Describe(std::make_shared<const HostFd>(std::move(fd)), JoinVolumePath(parent.volumePath, *hostName));
    return status::Success;
}

NtStatus HostVolume::CreateFile(const VolumeNode& parent, std::u16string_view name, VolumeNode& created)
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    const std::shared_ptr<const HostFd>& at = Held(parent).pinned;
    HostFd fd(openat(at->get(), hostName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        const int error = errno;
        return NtAnswer(error, "create the file", HostPath(parent) / *hostName);
    }
    // The descriptor that made the file is the one that writes it.
    auto made = std::make_shared<const HostFd>(std::move(fd));
    created = Describe(made, JoinVolumePath(parent.volumePath, *hostName));
    // NT gives a new file no READONLY attribute, whatever the host's umask
    // would make of it.
    if (created.readOnly) {
        struct stat info {};
        if (fstat(made->get(), &info) != 0 || fchmod(made->get(), (info.st_mode & 07777) | S_IWUSR) != 0) {
            const int error = errno;
            throw TestBedError("make writable", HostPath(created), error);
        }
        created.readOnly = false;
    }
    std::static_pointer_cast<HostObject>(created.object)->writable = std::move(made);
    return status::Success;
}

// Opens `node`'s file anew with `flags` through the descriptor that holds
// it, never by its name, and checks on the descriptor, before any I/O, that
// it is the very regular file the lookup found: nothing swapped in under
// the name since (a FIFO, a device node) is opened, so none can block the
// run or be written. Throws TestBedError when the host refuses the open and
// the refusal has no NT meaning.
std::optional<HostFd> HostVolume::Reopened(const VolumeNode& node, int flags, std::string_view operation,
                                           NtStatus& refused) const
{
    HostFd fd = Reopen(Held(node).pinned->get(), flags | O_NONBLOCK | O_NOCTTY);
    if (!fd) {
        const int error = errno;
        // The descriptor is held open, so only a /proc that is not there
        // makes its path under /proc/self/fd missing.
        if (error == ENOENT) {
            throw TestBedError(std::string(operation) + " " + HostPath(node).string() +
                               ": the test bed opens what it holds through /proc/self/fd, and /proc is not mounted");
        }
        refused = NtAnswer(error, operation, HostPath(node));
        return std::nullopt;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(node), error);
    }
    if (!S_ISREG(info.st_mode) || HostIdentity{info.st_dev, info.st_ino} != IdentityOf(node)) {
        throw TestBedError(HostPath(node).string() + " opened as another object than the one held");
    }
    return fd;
}

NtStatus HostVolume::OpenForWriting(VolumeNode& node)
{
    const HostObject& held = Held(node);
    if (held.writable) {
        return status::Success;
    }
    if (node.kind != NodeKind::File) {
        throw std::logic_error("only a file can be opened for writing");
    }
    NtStatus refused = status::Success;
    std::optional<HostFd> fd = Reopened(node, O_WRONLY, "open for writing", refused);
    if (!fd) return refused;
    // A hold of its own, so that the node this one was copied from stays
    // as it was.
    auto opened = std::make_shared<HostObject>(held);
    opened->writable = std::make_shared<const HostFd>(std::move(*fd));
    node.object = std::move(opened);
    return status::Success;
}

NtStatus HostVolume::WriteAt(const VolumeNode& file, uint64_t offset, std::span<const uint8_t> data)
{
    const HostObject& held = Held(file);
    if (!held.writable) {
        throw std::logic_error("a write to a file the volume has not opened for writing");
    }
    int failed = WriteAllAt(held.writable->get(),
                            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), offset);
    return failed == 0 ? status::Success : NtAnswer(failed, "write to", HostPath(file));
}

NtStatus HostVolume::Truncate(const VolumeNode& file)
{
    const HostObject& held = Held(file);
    if (!held.writable) {
        throw std::logic_error("a truncation of a file the volume has not opened for writing");
    }
    if (ftruncate(held.writable->get(), 0) != 0) {
        const int error = errno;
        return NtAnswer(error, "truncate", HostPath(file));
    }
    return status::Success;
}

FileGlimpse HostVolume::Glimpse(const VolumeNode& file, size_t headBytes) const
{
    NtStatus refused = status::Success;
    std::optional<HostFd> fd = Reopened(file, O_RDONLY, "read back", refused);
    if (!fd) throw TestBedError(HostPath(file).string() + " cannot be read back: " + DescribeStatus(refused));
    struct stat info {};
    if (fstat(fd->get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(file), error);
    }
    // As when the run found it: another name may lie outside drive C.
    if (info.st_nlink > 1) {
        throw TestBedError(HostPath(file).string() + " has " + std::to_string(info.st_nlink) +
                           " hard links now; another of its names may lie outside drive C, so the test bed shows "
                           "nothing of it");
    }
    FileGlimpse glimpse;
    glimpse.size = static_cast<uint64_t>(info.st_size);
    glimpse.named = info.st_nlink > 0;
    if (int failed = ReadSome(fd->get(), 0, std::min<uint64_t>(headBytes, glimpse.size), glimpse.head); failed != 0) {
        throw TestBedError("read back", HostPath(file), failed);
    }
    return glimpse;
}

uint64_t HostVolume::SizeOf(const VolumeNode& file) const
{
    struct stat info {};
    if (fstat(Held(file).pinned->get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(file), error);
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace quarnhold::testbed
