// kernel_requests.h
//
// The four kernel calls as plain values. Whatever carries a driver's call to
// the model (the host-linked routines, or the emulator's traps reading guest
// memory) unpacks the caller's records into these and writes the results
// back, so both ways meet the same model.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "testbed/nt_status.h"

namespace quarnhold::testbed {

// Caller memory the kernel follows a pointer into, in the order NT reads it.
enum class CallerRecord { ObjectAttributes, ObjectName, ObjectNameBuffer, ByteOffset, Buffer };

// The record as C code names it from the call's arguments; used in the
// model's reports whenever one cannot be read.
constexpr std::string_view CallerRecordName(CallerRecord record)
{
    switch (record) {
    case CallerRecord::ObjectAttributes: return "ObjectAttributes";
    case CallerRecord::ObjectName: return "ObjectAttributes->ObjectName";
    case CallerRecord::ObjectNameBuffer: return "ObjectName->Buffer";
    case CallerRecord::ByteOffset: return "ByteOffset";
    case CallerRecord::Buffer: return "Buffer";
    }
    return "?";
}

// Caller memory that could not be read, and the pointer that led there.
// Whatever the request would have taken from it, or from records behind it,
// is unknown and left at its default.
struct UnreadableRecord {
    CallerRecord record = CallerRecord::ObjectAttributes;
    uint64_t address = 0;
};

// An UNICODE_STRING as the caller laid it out.
struct CountedName {
    uint16_t length = 0;         // bytes
    uint16_t maximumLength = 0;  // bytes
    std::u16string text;         // length / 2 code units read from Buffer
};

// ZwCreateFile's arguments. A pointer argument the model only checks for
// presence is a bool.
struct CreateFileRequest {
    bool hasFileHandle = true;
    uint32_t desiredAccess = 0;
    bool hasObjectAttributes = true;
    uint32_t objectAttributesLength = 0;    // OBJECT_ATTRIBUTES.Length as passed
    uint32_t nativeObjectAttributesSize = 0;  // sizeof(OBJECT_ATTRIBUTES) for the caller's target
    bool hasRootDirectory = false;
    std::optional<CountedName> objectName;  // nothing when ObjectName is null
    uint32_t attributes = 0;                // OBJ_*
    bool hasSecurityDescriptor = false;
    bool hasSecurityQualityOfService = false;
    bool hasIoStatusBlock = true;
    bool hasAllocationSize = false;
    uint32_t fileAttributes = 0;
    uint32_t shareAccess = 0;
    uint32_t createDisposition = 0;
    uint32_t createOptions = 0;
    bool hasEaBuffer = false;
    uint32_t eaLength = 0;
    std::optional<UnreadableRecord> unreadable;  // the first record that could not be read
};

struct CreateFileResult {
    NtStatus status = status::Success;
    uint32_t handle = 0;  // the handle given out, with any status NT_SUCCESS holds for; 0 for none
    // What to store in the IO_STATUS_BLOCK; nothing leaves it untouched, as
    // on a failure that never reached the file system.
    std::optional<uint32_t> information;
};

// ZwWriteFile's arguments.
struct WriteFileRequest {
    uint32_t handle = 0;
    bool hasEvent = false;
    bool hasApcRoutine = false;
    bool hasApcContext = false;
    bool hasIoStatusBlock = true;
    std::span<const uint8_t> data;  // the bytes at Buffer
    uint32_t length = 0;
    std::optional<int64_t> byteOffset;
    bool hasKey = false;
    std::optional<UnreadableRecord> unreadable;  // ByteOffset or Buffer, when it could not be read
};

struct WriteFileResult {
    NtStatus status = status::Success;
    std::optional<uint32_t> information;  // bytes written, stored when present
};

}  // namespace quarnhold::testbed
