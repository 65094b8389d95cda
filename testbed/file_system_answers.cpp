// file_system_answers.cpp

#include "testbed/file_system_answers.h"

namespace quarnhold::testbed {
namespace {

constexpr FileSystemAnswers Ntfs{
    .writeToDirectory = status::InvalidDeviceRequest,
    .namesAlwaysIgnoreCase = false,
    .writeProtectionRefusesOpenForWriting = true,
    .fileEndLimit = std::nullopt,
};

constexpr FileSystemAnswers Fat{
    .writeToDirectory = status::InvalidParameter,
    .namesAlwaysIgnoreCase = true,
    .writeProtectionRefusesOpenForWriting = false,
    .fileEndLimit = uint64_t{0xFFFFFFFF},
};

}  // namespace

std::string_view FileSystemName(FileSystem fileSystem)
{
    return fileSystem == FileSystem::Fat ? "FAT" : "NTFS";
}

std::string_view FileSystemOption(FileSystem fileSystem)
{
    return fileSystem == FileSystem::Fat ? "fat" : "ntfs";
}

const FileSystemAnswers& AnswersOf(FileSystem fileSystem)
{
    return fileSystem == FileSystem::Fat ? Fat : Ntfs;
}

}  // namespace quarnhold::testbed
