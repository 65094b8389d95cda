// host_volume.cpp

#include "testbed/host_volume.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <functional>
#include <stdexcept>
#include <system_error>

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

// Maps a failed host call onto the status a file system would report.
NtStatus StatusFromErrno(int error)
{
    switch (error) {
    case EEXIST:
        return status::ObjectNameCollision;
    case ENOSPC:
    case EDQUOT:
        return status::DiskFull;
    case EACCES:
    case EPERM:
        return status::AccessDenied;
    case EROFS:
        return status::MediaWriteProtected;
    case ENOENT:
        return status::ObjectNameNotFound;
    case ENOTDIR:
        return status::ObjectPathNotFound;
    case ELOOP:
        return status::IoReparseTagNotHandled;
    default:
        return status::UnexpectedIoError;
    }
}

// Owns a host file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string JoinVolumePath(const std::string& parent, const std::string& name)
{
    return parent.empty() ? name : parent + "\\" + name;
}

}  // namespace

HostVolume::HostVolume(const std::filesystem::path& root)
{
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) {
        throw std::runtime_error(root.string() + " is not a folder");
    }
    root_ = std::filesystem::canonical(root);
}

std::optional<HostNode> HostVolume::Describe(const std::filesystem::path& hostPath, std::string volumePath) const
{
    struct stat info {};
    if (lstat(hostPath.c_str(), &info) != 0) {
        return std::nullopt;
    }
    HostNode node;
    node.hostPath = hostPath;
    node.volumePath = std::move(volumePath);
    node.kind = S_ISREG(info.st_mode) ? NodeKind::File : S_ISDIR(info.st_mode) ? NodeKind::Directory : NodeKind::Other;
    node.device = info.st_dev;
    node.inode = info.st_ino;
    node.readOnly = node.kind == NodeKind::File && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    node.size = node.kind == NodeKind::File ? static_cast<uint64_t>(info.st_size) : 0;
    return node;
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
    std::error_code error;
    if (std::filesystem::symlink_status(directory.hostPath / *exact, error).type() !=
        std::filesystem::file_type::not_found && !error) {
        return Describe(directory.hostPath / *exact, JoinVolumePath(directory.volumePath, *exact));
    }
    if (!caseInsensitive) {
        return std::nullopt;
    }
    std::vector<std::string> candidates;
    for (const auto& entry : std::filesystem::directory_iterator(directory.hostPath, error)) {
        std::string hostName = entry.path().filename().string();
        std::optional<std::u16string> wide = Utf8ToUtf16(hostName);
        if (wide && NamesMatch(*wide, name)) {
            candidates.push_back(hostName);
        }
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    const std::string& chosen = *std::min_element(candidates.begin(), candidates.end());
    return Describe(directory.hostPath / chosen, JoinVolumePath(directory.volumePath, chosen));
}

VolumeLookup HostVolume::Find(const std::vector<std::u16string>& components, bool caseInsensitive) const
{
    VolumeLookup lookup;
    std::optional<HostNode> current = Describe(root_, "");
    if (!current || current->kind != NodeKind::Directory) {
        lookup.status = status::ObjectPathNotFound;
        return lookup;
    }
    if (components.empty()) {
        lookup.node = current;
        return lookup;
    }
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        std::optional<HostNode> next = FindChild(*current, components[i], caseInsensitive);
        if (next && next->kind == NodeKind::Other) {
            lookup.status = status::IoReparseTagNotHandled;
            return lookup;
        }
        if (!next || next->kind != NodeKind::Directory) {
            lookup.status = status::ObjectPathNotFound;
            return lookup;
        }
        current = std::move(next);
    }
    lookup.parent = current;
    lookup.node = FindChild(*current, components.back(), caseInsensitive);
    return lookup;
}

NtStatus HostVolume::CreateChild(const HostNode& parent, std::u16string_view name, HostNode& created,
                                 const std::function<int(const char* path)>& make) const
{
    std::optional<std::string> hostName = Utf16ToUtf8(name);
    if (!hostName) {
        return status::ObjectNameInvalid;
    }
    std::filesystem::path path = parent.hostPath / *hostName;
    if (make(path.c_str()) != 0) {
        return StatusFromErrno(errno);
    }
    std::optional<HostNode> node = Describe(path, JoinVolumePath(parent.volumePath, *hostName));
    if (!node) {
        return status::UnexpectedIoError;
    }
    created = *node;
    return status::Success;
}

NtStatus HostVolume::CreateDirectory(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    return CreateChild(parent, name, created, [](const char* path) { return mkdir(path, 0777); });
}

NtStatus HostVolume::CreateFile(const HostNode& parent, std::u16string_view name, HostNode& created) const
{
    return CreateChild(parent, name, created, [](const char* path) {
        FileDescriptor fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        return fd.get() < 0 ? -1 : 0;
    });
}

NtStatus HostVolume::WriteAt(const HostNode& file, uint64_t offset, std::span<const uint8_t> data) const
{
    FileDescriptor fd(open(file.hostPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        return StatusFromErrno(errno);
    }
    while (!data.empty()) {
        ssize_t written = pwrite(fd.get(), data.data(), data.size(), static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return StatusFromErrno(errno);
        }
        data = data.subspan(static_cast<size_t>(written));
        offset += static_cast<uint64_t>(written);
    }
    return status::Success;
}

NtStatus HostVolume::Truncate(const HostNode& file) const
{
    FileDescriptor fd(open(file.hostPath.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
    return fd.get() < 0 ? StatusFromErrno(errno) : status::Success;
}

std::optional<uint64_t> HostVolume::SizeOf(const HostNode& file) const
{
    std::optional<HostNode> now = Describe(file.hostPath, file.volumePath);
    return now ? std::optional<uint64_t>(now->size) : std::nullopt;
}

}  // namespace quarnhold::testbed
