// nt_flag_names.h
//
// The values a driver passes to ZwCreateFile, spelt with the names it wrote
// them with: access masks, share access, the create disposition and options,
// OBJECT_ATTRIBUTES.Attributes and file attributes. Bits no name covers are
// kept as a hex remainder, so nothing the caller passed is hidden.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnhold::testbed {

// A flags value taken apart: the names of the bits set, most significant
// first (a named group of bits, such as FILE_GENERIC_WRITE, before the single
// bits left), and the bits no name covers.
struct FlagNames {
    std::vector<std::string_view> names;
    uint32_t unknown = 0;
};

// "SYNCHRONIZE | FILE_WRITE_DATA", "FILE_SHARE_READ | 0x00000100", or "0"
// when no bit is set.
std::string JoinFlagNames(const FlagNames& flags);

// DesiredAccess. A directory's specific rights have their own names
// (FILE_LIST_DIRECTORY, FILE_ADD_FILE, FILE_TRAVERSE for a file's
// FILE_READ_DATA, FILE_WRITE_DATA, FILE_EXECUTE), chosen when the create
// asks for a directory.
FlagNames AccessMaskNames(uint32_t access, bool directory = false);
// ShareAccess: FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE.
FlagNames ShareAccessNames(uint32_t share);
// CreateOptions: FILE_DIRECTORY_FILE, FILE_SYNCHRONOUS_IO_NONALERT, ...
FlagNames CreateOptionNames(uint32_t options);
// OBJECT_ATTRIBUTES.Attributes: OBJ_CASE_INSENSITIVE, OBJ_KERNEL_HANDLE, ...
FlagNames ObjectAttributeNames(uint32_t attributes);
// FileAttributes: FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY, ...
FlagNames FileAttributeNames(uint32_t attributes);

// CreateDisposition's name (FILE_OPEN_IF); nothing for a value beyond
// FILE_MAXIMUM_DISPOSITION.
std::optional<std::string_view> CreateDispositionName(uint32_t disposition);
// What a create's IO_STATUS_BLOCK.Information says (FILE_CREATED); nothing
// for a value no create reports.
std::optional<std::string_view> CreateInformationName(uint32_t information);

}  // namespace quarnhold::testbed
