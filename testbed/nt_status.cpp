// nt_status.cpp

#include "testbed/nt_status.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace quarnhold::testbed {
namespace {

constexpr std::array<std::pair<NtStatus, std::string_view>, 28> StatusNames{{
    {status::Success, "STATUS_SUCCESS"},
    {status::Pending, "STATUS_PENDING"},
    {status::OplockBreakInProgress, "STATUS_OPLOCK_BREAK_IN_PROGRESS"},
    {status::ObjectNameExists, "STATUS_OBJECT_NAME_EXISTS"},
    {status::BufferOverflow, "STATUS_BUFFER_OVERFLOW"},
    {status::Unsuccessful, "STATUS_UNSUCCESSFUL"},
    {status::AccessViolation, "STATUS_ACCESS_VIOLATION"},
    {status::InvalidHandle, "STATUS_INVALID_HANDLE"},
    {status::InvalidParameter, "STATUS_INVALID_PARAMETER"},
    {status::InvalidDeviceRequest, "STATUS_INVALID_DEVICE_REQUEST"},
    {status::AccessDenied, "STATUS_ACCESS_DENIED"},
    {status::ObjectNameInvalid, "STATUS_OBJECT_NAME_INVALID"},
    {status::ObjectNameNotFound, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {status::ObjectNameCollision, "STATUS_OBJECT_NAME_COLLISION"},
    {status::ObjectPathNotFound, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {status::ObjectPathSyntaxBad, "STATUS_OBJECT_PATH_SYNTAX_BAD"},
    {status::SharingViolation, "STATUS_SHARING_VIOLATION"},
    {status::FileLockConflict, "STATUS_FILE_LOCK_CONFLICT"},
    {status::DeletePending, "STATUS_DELETE_PENDING"},
    {status::DiskFull, "STATUS_DISK_FULL"},
    {status::InsufficientResources, "STATUS_INSUFFICIENT_RESOURCES"},
    {status::MediaWriteProtected, "STATUS_MEDIA_WRITE_PROTECTED"},
    {status::FileIsADirectory, "STATUS_FILE_IS_A_DIRECTORY"},
    {status::NotSupported, "STATUS_NOT_SUPPORTED"},
    {status::UnexpectedIoError, "STATUS_UNEXPECTED_IO_ERROR"},
    {status::NotADirectory, "STATUS_NOT_A_DIRECTORY"},
    {status::DeviceConfigurationError, "STATUS_DEVICE_CONFIGURATION_ERROR"},
    {status::IoReparseTagNotHandled, "STATUS_IO_REPARSE_TAG_NOT_HANDLED"},
}};

}  // namespace

std::string_view StatusName(NtStatus value)
{
    for (const auto& [number, name] : StatusNames) {
        if (number == value) {
            return name;
        }
    }
    return {};
}

std::optional<NtStatus> StatusNamed(std::string_view name)
{
    for (const auto& [number, known] : StatusNames) {
        if (known.size() == name.size() && std::equal(known.begin(), known.end(), name.begin(), [](char a, char b) {
                return a == std::toupper(static_cast<unsigned char>(b));
            })) {
            return number;
        }
    }
    return std::nullopt;
}

std::string DescribeStatus(NtStatus value)
{
    char number[16];
    std::snprintf(number, sizeof(number), "0x%08X", value);
    std::string_view name = StatusName(value);
    return name.empty() ? std::string(number) : std::string(number) + " " + std::string(name);
}

}  // namespace quarnhold::testbed
