// file_system_answers.h
//
// Module: the file system's flavour.
//
// Abstract: NTFS and FAT answer the driver's three calls alike but for a few
// refusals. Each request asks the answer it needs from here, rather than
// testing which file system it is on; docs/model.md gives the source of each.

#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "testbed/nt_status.h"

namespace quarnhold::testbed {

// The file system drive C is formatted with.
enum class FileSystem { Ntfs, Fat };
std::string_view FileSystemName(FileSystem fileSystem);  // "NTFS" or "FAT"
// "ntfs" or "fat", as quarnhold-run's --file-system takes it.
std::string_view FileSystemOption(FileSystem fileSystem);

struct FileSystemAnswers {
    // ZwWriteFile on a handle to a directory: NTFS fails it as a request the
    // device does not take; FastFAT's FatCommonWrite gives a user's open of a
    // directory STATUS_INVALID_PARAMETER.
    NtStatus writeToDirectory;
    // FastFAT's FatCommonCreate upcases every name before the search,
    // whatever OBJ_CASE_INSENSITIVE says; NTFS honours a case-sensitive open.
    bool namesAlwaysIgnoreCase;
    // On a write-protected volume NTFS refuses an open that asks for write
    // access; FastFAT checks the protection only where a create changes the
    // disk, and lets the write itself fail.
    bool writeProtectionRefusesOpenForWriting;
    // The last byte a file can reach, plus one; nothing: no limit the driver
    // can meet. FastFAT's FatIsIoRangeValid refuses a range a 32-bit file
    // size cannot hold with STATUS_DISK_FULL.
    std::optional<uint64_t> fileEndLimit;
};

const FileSystemAnswers& AnswersOf(FileSystem fileSystem);

}  // namespace quarnhold::testbed
