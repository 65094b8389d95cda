// nt_flag_names.cpp
//
// The names are those of the kernel's headers (wdm.h, ntifs.h, ntdef.h),
// checked against ReactOS's sdk/include/xdk and Microsoft's documentation
// of ZwCreateFile and OBJECT_ATTRIBUTES.

#include "testbed/nt_flag_names.h"

#include <array>
#include <span>

#include "testbed/nt_file_definitions.h"

namespace quarnhold::testbed {
namespace {

struct Flag {
    uint32_t bits;
    std::string_view name;
};

// Takes `value` apart along `flags`, which are listed in the order to name
// them. A group of bits is named when all its bits are set and it covers a
// bit no earlier name did, so FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
// shows both, and FILE_ALL_ACCESS none of the groups within it.
FlagNames Decompose(uint32_t value, std::span<const Flag> flags)
{
    FlagNames decomposed;
    uint32_t left = value;
    for (const Flag& flag : flags) {
        if ((value & flag.bits) == flag.bits && (left & flag.bits) != 0) {
            decomposed.names.push_back(flag.name);
            left &= ~flag.bits;
        }
    }
    decomposed.unknown = left;
    return decomposed;
}

std::string Hex8(uint32_t value)
{
    std::string text = "0x00000000";
    for (int i = 9; i >= 2; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 0xF];
    return text;
}

// The rights every object type shares, the generic rights and the groups
// of the file object's generic mapping, most significant first.
constexpr std::array<Flag, 14> GenericAndStandardRights{{
    {nt::FileAllAccess, "FILE_ALL_ACCESS"},
    {nt::FileGenericRead, "FILE_GENERIC_READ"},
    {nt::FileGenericWrite, "FILE_GENERIC_WRITE"},
    {nt::FileGenericExecute, "FILE_GENERIC_EXECUTE"},
    {nt::GenericRead, "GENERIC_READ"},
    {nt::GenericWrite, "GENERIC_WRITE"},
    {nt::GenericExecute, "GENERIC_EXECUTE"},
    {nt::GenericAll, "GENERIC_ALL"},
    {nt::MaximumAllowed, "MAXIMUM_ALLOWED"},
    {0x01000000, "ACCESS_SYSTEM_SECURITY"},
    {nt::Synchronize, "SYNCHRONIZE"},
    {nt::WriteOwner, "WRITE_OWNER"},
    {nt::WriteDac, "WRITE_DAC"},
    {nt::ReadControl, "READ_CONTROL"},
}};

// The specific rights, as a file and as a directory names them.
constexpr std::array<Flag, 9> FileRights{{
    {nt::FileWriteAttributes, "FILE_WRITE_ATTRIBUTES"},
    {nt::FileReadAttributes, "FILE_READ_ATTRIBUTES"},
    {nt::FileDeleteChild, "FILE_DELETE_CHILD"},
    {nt::FileExecute, "FILE_EXECUTE"},
    {nt::FileWriteEa, "FILE_WRITE_EA"},
    {nt::FileReadEa, "FILE_READ_EA"},
    {nt::FileAppendData, "FILE_APPEND_DATA"},
    {nt::FileWriteData, "FILE_WRITE_DATA"},
    {nt::FileReadData, "FILE_READ_DATA"},
}};
constexpr std::array<Flag, 9> DirectoryRights{{
    {nt::FileWriteAttributes, "FILE_WRITE_ATTRIBUTES"},
    {nt::FileReadAttributes, "FILE_READ_ATTRIBUTES"},
    {nt::FileDeleteChild, "FILE_DELETE_CHILD"},
    {nt::FileExecute, "FILE_TRAVERSE"},
    {nt::FileWriteEa, "FILE_WRITE_EA"},
    {nt::FileReadEa, "FILE_READ_EA"},
    {nt::FileAppendData, "FILE_ADD_SUBDIRECTORY"},
    {nt::FileWriteData, "FILE_ADD_FILE"},
    {nt::FileReadData, "FILE_LIST_DIRECTORY"},
}};

constexpr std::array<Flag, 3> ShareFlags{{
    {nt::FileShareRead, "FILE_SHARE_READ"},
    {nt::FileShareWrite, "FILE_SHARE_WRITE"},
    {nt::FileShareDelete, "FILE_SHARE_DELETE"},
}};

constexpr std::array<Flag, 23> CreateOptions{{
    {nt::FileDirectoryFile, "FILE_DIRECTORY_FILE"},
    {0x00000002, "FILE_WRITE_THROUGH"},
    {0x00000004, "FILE_SEQUENTIAL_ONLY"},
    {0x00000008, "FILE_NO_INTERMEDIATE_BUFFERING"},
    {nt::FileSynchronousIoAlert, "FILE_SYNCHRONOUS_IO_ALERT"},
    {nt::FileSynchronousIoNonalert, "FILE_SYNCHRONOUS_IO_NONALERT"},
    {nt::FileNonDirectoryFile, "FILE_NON_DIRECTORY_FILE"},
    {0x00000080, "FILE_CREATE_TREE_CONNECTION"},
    {0x00000100, "FILE_COMPLETE_IF_OPLOCKED"},
    {0x00000200, "FILE_NO_EA_KNOWLEDGE"},
    {0x00000400, "FILE_OPEN_REMOTE_INSTANCE"},
    {0x00000800, "FILE_RANDOM_ACCESS"},
    {0x00001000, "FILE_DELETE_ON_CLOSE"},
    {0x00002000, "FILE_OPEN_BY_FILE_ID"},
    {0x00004000, "FILE_OPEN_FOR_BACKUP_INTENT"},
    {0x00008000, "FILE_NO_COMPRESSION"},
    {0x00010000, "FILE_OPEN_REQUIRING_OPLOCK"},
    {0x00020000, "FILE_DISALLOW_EXCLUSIVE"},
    {0x00040000, "FILE_SESSION_AWARE"},
    {0x00100000, "FILE_RESERVE_OPFILTER"},
    {0x00200000, "FILE_OPEN_REPARSE_POINT"},
    {0x00400000, "FILE_OPEN_NO_RECALL"},
    {0x00800000, "FILE_OPEN_FOR_FREE_SPACE_QUERY"},
}};

constexpr std::array<Flag, 10> ObjectAttributes{{
    {nt::ObjInherit, "OBJ_INHERIT"},
    {0x010, "OBJ_PERMANENT"},
    {0x020, "OBJ_EXCLUSIVE"},
    {nt::ObjCaseInsensitive, "OBJ_CASE_INSENSITIVE"},
    {0x080, "OBJ_OPENIF"},
    {0x100, "OBJ_OPENLINK"},
    {nt::ObjKernelHandle, "OBJ_KERNEL_HANDLE"},
    {0x400, "OBJ_FORCE_ACCESS_CHECK"},
    {0x800, "OBJ_IGNORE_IMPERSONATED_DEVICEMAP"},
    {0x1000, "OBJ_DONT_REPARSE"},
}};

constexpr std::array<Flag, 14> FileAttributes{{
    {nt::FileAttributeReadonly, "FILE_ATTRIBUTE_READONLY"},
    {0x0002, "FILE_ATTRIBUTE_HIDDEN"},
    {0x0004, "FILE_ATTRIBUTE_SYSTEM"},
    {nt::FileAttributeDirectory, "FILE_ATTRIBUTE_DIRECTORY"},
    {0x0020, "FILE_ATTRIBUTE_ARCHIVE"},
    {0x0040, "FILE_ATTRIBUTE_DEVICE"},
    {nt::FileAttributeNormal, "FILE_ATTRIBUTE_NORMAL"},
    {0x0100, "FILE_ATTRIBUTE_TEMPORARY"},
    {0x0200, "FILE_ATTRIBUTE_SPARSE_FILE"},
    {0x0400, "FILE_ATTRIBUTE_REPARSE_POINT"},
    {0x0800, "FILE_ATTRIBUTE_COMPRESSED"},
    {0x1000, "FILE_ATTRIBUTE_OFFLINE"},
    {0x2000, "FILE_ATTRIBUTE_NOT_CONTENT_INDEXED"},
    {0x4000, "FILE_ATTRIBUTE_ENCRYPTED"},
}};

}  // namespace

std::string JoinFlagNames(const FlagNames& flags)
{
    std::string text;
    for (std::string_view name : flags.names) {
        if (!text.empty()) text += " | ";
        text += name;
    }
    if (flags.unknown != 0 || text.empty()) {
        if (!text.empty()) text += " | ";
        text += flags.unknown != 0 ? Hex8(flags.unknown) : "0";
    }
    return text;
}

FlagNames AccessMaskNames(uint32_t access, bool directory)
{
    FlagNames standard = Decompose(access, GenericAndStandardRights);
    // DELETE is a standard right, but reads best beside the specific ones
    // it usually goes with; the groups above have already taken theirs.
    FlagNames specific = Decompose(standard.unknown, directory ? std::span<const Flag>(DirectoryRights)
                                                               : std::span<const Flag>(FileRights));
    if (specific.unknown & nt::Delete) {
        standard.names.push_back("DELETE");
        specific.unknown &= ~nt::Delete;
    }
    standard.names.insert(standard.names.end(), specific.names.begin(), specific.names.end());
    standard.unknown = specific.unknown;
    return standard;
}

FlagNames ShareAccessNames(uint32_t share)
{
    return Decompose(share, ShareFlags);
}

FlagNames CreateOptionNames(uint32_t options)
{
    return Decompose(options, CreateOptions);
}

FlagNames ObjectAttributeNames(uint32_t attributes)
{
    return Decompose(attributes, ObjectAttributes);
}

FlagNames FileAttributeNames(uint32_t attributes)
{
    return Decompose(attributes, FileAttributes);
}

std::optional<std::string_view> CreateDispositionName(uint32_t disposition)
{
    static constexpr std::array<std::string_view, 6> Names{"FILE_SUPERSEDE", "FILE_OPEN",      "FILE_CREATE",
                                                           "FILE_OPEN_IF",   "FILE_OVERWRITE", "FILE_OVERWRITE_IF"};
    if (disposition >= Names.size()) return std::nullopt;
    return Names[disposition];
}

std::optional<std::string_view> CreateInformationName(uint32_t information)
{
    static constexpr std::array<std::string_view, 6> Names{"FILE_SUPERSEDED",  "FILE_OPENED", "FILE_CREATED",
                                                           "FILE_OVERWRITTEN", "FILE_EXISTS", "FILE_DOES_NOT_EXIST"};
    if (information >= Names.size()) return std::nullopt;
    return Names[information];
}

}  // namespace quarnhold::testbed
