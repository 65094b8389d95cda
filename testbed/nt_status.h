// nt_status.h
//
// The NTSTATUS values the model answers with, defined here independently of
// the driver's own declarations so that a wrong constant on either side shows
// up as a disagreement instead of cancelling out.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarnhold::testbed {

using NtStatus = uint32_t;

namespace status {
constexpr NtStatus Success = 0x00000000;
constexpr NtStatus Pending = 0x00000103;
constexpr NtStatus OplockBreakInProgress = 0x00000108;
constexpr NtStatus ObjectNameExists = 0x40000000;
constexpr NtStatus BufferOverflow = 0x80000005;
constexpr NtStatus Unsuccessful = 0xC0000001;
constexpr NtStatus AccessViolation = 0xC0000005;
constexpr NtStatus InvalidHandle = 0xC0000008;
constexpr NtStatus InvalidParameter = 0xC000000D;
constexpr NtStatus InvalidDeviceRequest = 0xC0000010;
constexpr NtStatus AccessDenied = 0xC0000022;
constexpr NtStatus ObjectNameInvalid = 0xC0000033;
constexpr NtStatus ObjectNameNotFound = 0xC0000034;
constexpr NtStatus ObjectNameCollision = 0xC0000035;
constexpr NtStatus ObjectPathNotFound = 0xC000003A;
constexpr NtStatus ObjectPathSyntaxBad = 0xC000003B;
constexpr NtStatus SharingViolation = 0xC0000043;
constexpr NtStatus FileLockConflict = 0xC0000054;
constexpr NtStatus DeletePending = 0xC0000056;
constexpr NtStatus DiskFull = 0xC000007F;
constexpr NtStatus InsufficientResources = 0xC000009A;
constexpr NtStatus MediaWriteProtected = 0xC00000A2;
constexpr NtStatus FileIsADirectory = 0xC00000BA;
constexpr NtStatus NotSupported = 0xC00000BB;
constexpr NtStatus UnexpectedIoError = 0xC00000E9;
constexpr NtStatus NotADirectory = 0xC0000103;
constexpr NtStatus DeviceConfigurationError = 0xC0000182;
constexpr NtStatus IoReparseTagNotHandled = 0xC0000279;
}  // namespace status

// NT_SUCCESS: success and informational statuses (0x00000000 to
// 0x7FFFFFFF). A create that returns one of them has handed out a handle.
constexpr bool NtSuccess(NtStatus value)
{
    return value < 0x80000000u;
}

// The symbolic name of a status, e.g. "STATUS_OBJECT_NAME_COLLISION", or an
// empty view when the model does not know it.
std::string_view StatusName(NtStatus value);

// The status of that symbolic name, in any letter case; nothing when the
// model does not know the name.
std::optional<NtStatus> StatusNamed(std::string_view name);

// "0xC0000035 STATUS_OBJECT_NAME_COLLISION", or just the number when the name
// is unknown.
std::string DescribeStatus(NtStatus value);

}  // namespace quarnhold::testbed
