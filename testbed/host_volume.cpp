// host_volume.cpp

#include "testbed/host_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
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

using DirectoryStream = std::unique_ptr<DIR, int (*)(DIR*)>;

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
    rootFd_ = std::make_shared<const HostFd>(std::move(fd));
}

HostNode HostVolume::Describe(std::shared_ptr<const HostFd> pinned, std::shared_ptr<const HostFd> parent,
                              std::string hostName, std::filesystem::path hostPath, std::string volumePath) const
{
    struct stat info {};
    if (fstat(pinned->get(), &info) != 0) {
        throw TestBedError("look at", hostPath, errno);
    }
    HostNode node;
    node.kind = S_ISREG(info.st_mode) ? NodeKind::File : S_ISDIR(info.st_mode) ? NodeKind::Directory : NodeKind::Other;
    if (node.kind == NodeKind::File && info.st_nlink > 1) {
        throw TestBedError(
            hostPath.string() + " has " + std::to_string(info.st_nlink) +
            " hard links; another of its names may lie outside drive C, so the test bed leaves it alone");
    }
    node.pinned = std::move(pinned);
    node.parent = std::move(parent);
    node.hostName = std::move(hostName);
    node.hostPath = std::move(hostPath);
    node.volumePath = std::move(volumePath);
    node.device = info.st_dev;
    node.inode = info.st_ino;
    node.readOnly = node.kind == NodeKind::File && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    node.size = node.kind == NodeKind::File ? static_cast<uint64_t>(info.st_size) : 0;
    return node;
}

// The child `hostName` of `directory`, held open without following a link;
// nothing when there is no such name.
std::optional<HostNode> HostVolume::OpenChild(const HostNode& directory, const std::string& hostName) const
{
    std::filesystem::path hostPath = directory.hostPath / hostName;
    HostFd fd(openat(directory.pinned->get(), hostName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        throw TestBedError("look up", hostPath, errno);
    }
    return Describe(std::make_shared<const HostFd>(std::move(fd)), directory.pinned, hostName, std::move(hostPath),
                    JoinVolumePath(directory.volumePath, hostName));
}

std::optional<HostNode> HostVolume::FindChild(const HostNode& directory, std::u16string_view name,
                                              bool caseInsensitive) const
{
    // An exact match wins; otherwise the first case-insensitive one in name
    // order, so that a host folder holding both "a" and "A" still answers the
    // same way every time.
    std::optional<std::string> exact = Utf16ToUtf8(name);
    if (!exact) {
        return std::nullopt;
    }
    if (std::optional<HostNode> found = OpenChild(directory, *exact)) {
        return found;
    }
    if (!caseInsensitive) {
        return std::nullopt;
    }
    HostFd listing(openat(directory.pinned->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirectoryStream stream(listing ? fdopendir(listing.get()) : nullptr, closedir);
    if (!stream) {
        throw TestBedError("read the folder", directory.hostPath, errno);
    }
    listing.Release();  // the stream owns it now
    std::vector<std::string> candidates;
    errno = 0;
    while (const dirent* entry = readdir(stream.get())) {
        std::string hostName = entry->d_name;
        if (hostName == "." || hostName == "..") continue;
        std::optional<std::u16string> wide = Utf8ToUtf16(hostName);
        if (wide && NamesMatch(*wide, name)) {
            candidates.push_back(hostName);
        }
        errno = 0;  // only readdir's own failure counts
    }
    if (errno != 0) {
        throw TestBedError("read the folder", directory.hostPath, errno);
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    return OpenChild(directory, *std::min_element(candidates.begin(), candidates.end()));
}

VolumeLookup HostVolume::Find(const std::vector<std::u16string>& components, bool caseInsensitive) const
{
    VolumeLookup lookup;
    HostNode current = Describe(rootFd_, nullptr, "", root_, "");
    if (components.empty()) {
        lookup.node = std::move(current);
        return lookup;
    }
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        std::optional<HostNode> next = FindChild(current, components[i], caseInsensitive);
        if (next && next->kind == NodeKind::Other) {
            lookup.status = status::IoReparseTagNotHandled;
            return lookup;
        }
        if (!next || next->kind != NodeKind::Directory) {
            lookup.status = status::ObjectPathNotFound;
            return lookup;
        }
        current = std::move(*next);
    }
    lookup.node = FindChild(current, components.back(), caseInsensitive);
    lookup.parent = std::move(current);
    return lookup;
}

NtStatus HostVolume::CreateDirectory(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    std::filesystem::path hostPath = parent.hostPath / *hostName;
    if (mkdirat(parent.pinned->get(), hostName->c_str(), 0777) != 0) {
        return NtAnswer(errno, "create the directory", hostPath);
    }
    HostFd fd(openat(parent.pinned->get(), hostName->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throw TestBedError("open the directory just made", hostPath, errno);
    }
    created = Describe(std::make_shared<const HostFd>(std::move(fd)), parent.pinned, *hostName, std::move(hostPath),
                       JoinVolumePath(parent.volumePath, *hostName));
    return status::Success;
}

NtStatus HostVolume::CreateFile(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    std::filesystem::path hostPath = parent.hostPath / *hostName;
    HostFd fd(
        openat(parent.pinned->get(), hostName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        return NtAnswer(errno, "create the file", hostPath);
    }
    // NT gives a new file no READONLY attribute, whatever the host's umask
    // would make of it.
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 ||
        ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 && fchmod(fd.get(), (info.st_mode & 07777) | S_IWUSR))) {
        throw TestBedError("make writable", hostPath, errno);
    }
    // The descriptor that made the file is the one that writes it.
    auto made = std::make_shared<const HostFd>(std::move(fd));
    created =
        Describe(made, parent.pinned, *hostName, std::move(hostPath), JoinVolumePath(parent.volumePath, *hostName));
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
    HostFd fd(openat(node.parent->get(), node.hostName.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        return NtAnswer(errno, "open for writing", node.hostPath);
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        throw TestBedError("look at", node.hostPath, errno);
    }
    if (info.st_dev != node.device || info.st_ino != node.inode) {
        throw TestBedError(node.hostPath.string() +
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
    return failed == 0 ? status::Success : NtAnswer(failed, "write to", file.hostPath);
}

NtStatus HostVolume::Truncate(const HostNode& file) const
{
    if (!file.writable) {
        throw std::logic_error("a truncation of a file the volume has not opened for writing");
    }
    return ftruncate(file.writable->get(), 0) == 0 ? status::Success : NtAnswer(errno, "truncate", file.hostPath);
}

uint64_t HostVolume::SizeOf(const HostNode& file) const
{
    struct stat info {};
    if (fstat(file.pinned->get(), &info) != 0) {
        throw TestBedError("look at", file.hostPath, errno);
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace quarnhold::testbed
