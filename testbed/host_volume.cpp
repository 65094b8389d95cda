// host_volume.cpp

#include "testbed/host_volume.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <stdexcept>

#include "testbed/test_bed_error.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// NT upcases names one UTF-16 unit at a time through its upcase table; the
// C.UTF-8 locale's towupper is the same simple mapping. Without that locale,
// ASCII only.
char16_t Upcase(char16_t unit)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        return unit;
    }
    if (utf8 != static_cast<locale_t>(0)) {
        wint_t upper = towupper_l(static_cast<wint_t>(unit), utf8);
        return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
    }
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool NamesMatch(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Upcase(x) == Upcase(y); });
}

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

std::string JoinVolumePath(const std::string& parent, const std::string& name)
{
    return parent.empty() ? name : parent + "\\" + name;
}

}  // namespace

const char* HostNode::HostName() const
{
    const size_t separator = volumePath.rfind('\\');
    return volumePath.c_str() + (separator == std::string::npos ? 0 : separator + 1);
}

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
    rootNode_.pinned = std::make_shared<const HostFd>(std::move(fd));
    rootNode_.kind = NodeKind::Directory;
}

std::filesystem::path HostVolume::HostPath(const HostNode& node) const
{
    // A component never holds '\', the separator NT splits names at.
    std::string below = node.volumePath;
    std::replace(below.begin(), below.end(), '\\', '/');
    return below.empty() ? root_ : root_ / below;
}

const HostIdentity& HostVolume::IdentityOf(const HostNode& node) const
{
    if (!node.identity) {
        struct stat info {};
        if (fstat(node.pinned->get(), &info) != 0) {
            const int error = errno;
            throw TestBedError("look at", HostPath(node), error);
        }
        node.identity = HostIdentity{info.st_dev, info.st_ino};
    }
    return *node.identity;
}

bool HostVolume::SameObject(const HostNode& a, const HostNode& b) const
{
    return a.pinned == b.pinned || IdentityOf(a) == IdentityOf(b);
}

uint64_t HostVolume::FreeBytes() const
{
    // Through the descriptor: the folder's name may lead elsewhere by now.
    struct statvfs volume {};
    if (fstatvfs(rootNode_.pinned->get(), &volume) != 0) {
        const int error = errno;
        throw TestBedError("look at the file system of", root_, error);
    }
    return static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
}

HostNode HostVolume::Describe(std::shared_ptr<const HostFd> pinned, std::shared_ptr<const HostFd> parent,
                              std::string volumePath) const
{
    HostNode node;
    node.pinned = std::move(pinned);
    node.parent = std::move(parent);
    node.volumePath = std::move(volumePath);
    struct stat info {};
    if (fstat(node.pinned->get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(node), error);
    }
    node.kind = S_ISREG(info.st_mode) ? NodeKind::File : S_ISDIR(info.st_mode) ? NodeKind::Directory : NodeKind::Other;
    if (node.kind == NodeKind::File && info.st_nlink > 1) {
        throw TestBedError(
            HostPath(node).string() + " has " + std::to_string(info.st_nlink) +
            " hard links; another of its names may lie outside drive C, so the test bed leaves it alone");
    }
    node.identity = HostIdentity{info.st_dev, info.st_ino};
    node.readOnly = node.kind == NodeKind::File && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    node.size = node.kind == NodeKind::File ? static_cast<uint64_t>(info.st_size) : 0;
    return node;
}

// The child `hostName` of `directory`, held open without following a link;
// nothing when there is no such name. A child wanted as a directory (one
// the walk goes through) is opened as one, which says its kind without
// looking at it; anything else there is opened and looked at in full.
std::optional<HostNode> HostVolume::OpenChild(const HostNode& directory, const std::string& hostName,
                                              bool directoryWanted) const
{
    if (directoryWanted) {
        HostFd fd(openat(directory.pinned->get(), hostName.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) {
            HostNode node;
            node.pinned = std::make_shared<const HostFd>(std::move(fd));
            node.parent = directory.pinned;
            node.volumePath = JoinVolumePath(directory.volumePath, hostName);
            node.kind = NodeKind::Directory;
            return node;
        }
        if (errno == ENOENT) return std::nullopt;
        // A file, a link or a refusal: the full look below tells which.
    }
    HostFd fd(openat(directory.pinned->get(), hostName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) return std::nullopt;
        throw TestBedError("look up", HostPath(directory) / hostName, error);
    }
    return Describe(std::make_shared<const HostFd>(std::move(fd)), directory.pinned,
                    JoinVolumePath(directory.volumePath, hostName));
}

std::optional<HostNode> HostVolume::FindChild(const HostNode& directory, std::u16string_view name, bool caseInsensitive,
                                              bool directoryWanted) const
{
    // An exact match wins; otherwise the first case-insensitive one in name
    // order, so that a host folder holding both "a" and "A" still answers the
    // same way every time.
    std::optional<std::string> exact = Utf16ToUtf8(name);
    if (!exact) {
        return std::nullopt;
    }
    if (std::optional<HostNode> found = OpenChild(directory, *exact, directoryWanted)) {
        return found;
    }
    if (!caseInsensitive) {
        return std::nullopt;
    }
    HostFd listing(openat(directory.pinned->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> candidates;
    int failed = listing ? ListDirectory(listing.get(),
                                         [&](const char* hostName, unsigned char) {
                                             std::optional<std::u16string> wide = Utf8ToUtf16(hostName);
                                             if (wide && NamesMatch(*wide, name)) candidates.emplace_back(hostName);
                                         })
                         : errno;
    if (failed != 0) {
        throw TestBedError("read the folder", HostPath(directory), failed);
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    return OpenChild(directory, *std::min_element(candidates.begin(), candidates.end()), directoryWanted);
}

VolumeLookup HostVolume::Find(const std::vector<std::u16string>& components, bool caseInsensitive) const
{
    VolumeLookup lookup;
    if (components.empty()) {
        lookup.node = rootNode_;
        return lookup;
    }
    std::optional<HostNode> walked;  // the directory reached below the root, if any
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        std::optional<HostNode> next = FindChild(walked ? *walked : rootNode_, components[i], caseInsensitive, true);
        if (next && next->kind == NodeKind::Other) {
            lookup.status = status::IoReparseTagNotHandled;
            return lookup;
        }
        if (!next || next->kind != NodeKind::Directory) {
            lookup.status = status::ObjectPathNotFound;
            return lookup;
        }
        walked = std::move(next);
    }
    lookup.node = FindChild(walked ? *walked : rootNode_, components.back(), caseInsensitive, false);
    lookup.parent = walked ? std::move(walked) : std::optional<HostNode>(rootNode_);
    return lookup;
}

NtStatus HostVolume::CreateDirectory(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    if (mkdirat(parent.pinned->get(), hostName->c_str(), 0777) != 0) {
        const int error = errno;
        return NtAnswer(error, "create the directory", HostPath(parent) / *hostName);
    }
    HostFd fd(openat(parent.pinned->get(), hostName->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        throw TestBedError("open the directory just made", HostPath(parent) / *hostName, error);
    }
    created = Describe(std::make_shared<const HostFd>(std::move(fd)), parent.pinned,
                       JoinVolumePath(parent.volumePath, *hostName));
    return status::Success;
}

NtStatus HostVolume::CreateFile(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    HostFd fd(
        openat(parent.pinned->get(), hostName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        const int error = errno;
        return NtAnswer(error, "create the file", HostPath(parent) / *hostName);
    }
    // The descriptor that made the file is the one that writes it.
    auto made = std::make_shared<const HostFd>(std::move(fd));
    created = Describe(made, parent.pinned, JoinVolumePath(parent.volumePath, *hostName));
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
    created.writable = std::move(made);
    return status::Success;
}

NtStatus HostVolume::OpenForWriting(HostNode& node) const
{
    if (node.writable) {
        return status::Success;
    }
    if (!node.parent || node.kind != NodeKind::File) {
        throw std::logic_error("only a file found in a directory can be opened for writing");
    }
    HostFd fd(openat(node.parent->get(), node.HostName(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        return NtAnswer(error, "open for writing", HostPath(node));
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(node), error);
    }
    if (HostIdentity{info.st_dev, info.st_ino} != IdentityOf(node)) {
        throw TestBedError(HostPath(node).string() +
                           " was replaced by another file while the test bed held it: the file written would not be "
                           "the file opened");
    }
    node.writable = std::make_shared<const HostFd>(std::move(fd));
    return status::Success;
}

NtStatus HostVolume::WriteAt(const HostNode& file, uint64_t offset, std::span<const uint8_t> data) const
{
    if (!file.writable) {
        throw std::logic_error("a write to a file the volume has not opened for writing");
    }
    int failed = WriteAllAt(file.writable->get(),
                            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), offset);
    return failed == 0 ? status::Success : NtAnswer(failed, "write to", HostPath(file));
}

NtStatus HostVolume::Truncate(const HostNode& file) const
{
    if (!file.writable) {
        throw std::logic_error("a truncation of a file the volume has not opened for writing");
    }
    if (ftruncate(file.writable->get(), 0) != 0) {
        const int error = errno;
        return NtAnswer(error, "truncate", HostPath(file));
    }
    return status::Success;
}

uint64_t HostVolume::SizeOf(const HostNode& file) const
{
    struct stat info {};
    if (fstat(file.pinned->get(), &info) != 0) {
        const int error = errno;
        throw TestBedError("look at", HostPath(file), error);
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace quarnhold::testbed
