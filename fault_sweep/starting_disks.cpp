// starting_disks.cpp

#include "fault_sweep/starting_disks.h"

#include <stdexcept>

#include "fault_sweep/expected_messages.h"
#include "testbed/nt_file_definitions.h"

namespace quarnhold::fault_sweep {
namespace {

namespace nt = testbed::nt;
using testbed::Directory;
using testbed::File;
using testbed::Link;

const std::u16string WorkDirectoryName = u"\\??\\c:\\Quarnhold";
const std::u16string TestFileName = u"\\??\\c:\\Quarnhold\\test.txt";

// test.txt as earlier runs leave it, held open by another program.
StartingDisk Held(std::string name, std::string description, uint32_t access, uint32_t share, std::string content)
{
    return {.name = std::move(name),
            .description = std::move(description),
            .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", std::move(content))},
            .foreignOpens = {{TestFileName, access, share, false, std::nullopt}}};
}

std::vector<StartingDisk> Build()
{
    const std::string text(TestFileContent);
    const uint32_t shareAll = nt::FileShareRead | nt::FileShareWrite | nt::FileShareDelete;
    return {
        {.name = "clean_drive_c", .description = "an empty drive C: the first start"},
        {.name = "after_a_run",
         .description = "Quarnhold\\test.txt as a run leaves it",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", text)}},
        {.name = "directory_only", .description = "Quarnhold there, test.txt not", .items = {Directory("Quarnhold")}},
        {.name = "no_drive_c", .description = "no \\??\\c: link: a machine with no hard disk", .driveC = false},
        {.name = "write_protected_empty",
         .description = "an empty drive C that refuses to create or write",
         .writeProtected = true},
        {.name = "write_protected_after_a_run",
         .description = "test.txt of 3 bytes on a drive C that refuses to create or write",
         .writeProtected = true,
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", "old")}},
        {.name = "file_where_the_directory_should_be",
         .description = "Quarnhold is a file",
         .items = {File("Quarnhold", "not a directory")}},
        {.name = "directory_in_other_letter_case",
         .description = "QUARNHOLD, in upper case",
         .items = {Directory("QUARNHOLD")}},
        {.name = "test_file_in_other_letter_case",
         .description = "quarnhold\\TEST.TXT, empty",
         .items = {Directory("quarnhold"), File("quarnhold/TEST.TXT", "")}},
        Held("test_file_held_for_reading_without_write_sharing",
             "test.txt held open by another program for reading, sharing reads only",
             nt::FileReadData | nt::Synchronize, nt::FileShareRead, "held"),
        Held("test_file_held_for_writing_sharing_everything", "test.txt held open for writing, sharing everything",
             nt::FileWriteData, shareAll, "held"),
        Held("test_file_held_for_deleting", "test.txt held open for deleting, sharing reads and writes", nt::Delete,
             nt::FileShareRead | nt::FileShareWrite, "held"),
        Held("test_file_held_without_data_access", "test.txt held open without data access, sharing nothing",
             nt::Synchronize | nt::FileReadAttributes, 0, ""),
        Held("test_file_held_for_reading_sharing_writes", "test.txt held open for reading, sharing reads and writes",
             nt::FileReadData, nt::FileShareRead | nt::FileShareWrite, ""),
        {.name = "test_file_longer_than_the_text",
         .description = "test.txt of 34 bytes, longer than the text",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", std::string(30, 'x') + "tail")}},
        {.name = "test_file_shorter_than_the_text",
         .description = "test.txt of 5 bytes, shorter than the text",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", "short")}},
        {.name = "test_file_is_a_directory",
         .description = "test.txt is a directory",
         .items = {Directory("Quarnhold"), Directory("Quarnhold/test.txt")}},
        {.name = "test_file_read_only",
         .description = "test.txt is read-only",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", "keep", true)}},
        {.name = "work_directory_is_a_link",
         .description = "Quarnhold is a symbolic link to another directory (NTFS only)",
         .items = {Directory("elsewhere"), Link("Quarnhold", "elsewhere")},
         .ntfsOnly = true},
        // Another holder set the delete disposition and still has the file
        // open: the name can be neither opened nor created until it closes.
        {.name = "test_file_delete_pending",
         .description = "test.txt deleted by another holder that still has it open",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", "going")},
         .foreignOpens = {{TestFileName, nt::Delete | nt::Synchronize, shareAll, true, std::nullopt}}},
        // A reader that shares writing holds a lock on the first bytes: the
        // open is let in, the write is refused.
        {.name = "test_file_locked_by_another_handle",
         .description = "test.txt with its first 20 bytes locked by a reader that shares writes",
         .items = {Directory("Quarnhold"), File("Quarnhold/test.txt", "locked by its reader")},
         .foreignOpens = {{TestFileName, nt::FileReadData | nt::Synchronize, nt::FileShareRead | nt::FileShareWrite,
                           false, testbed::ByteRange{0, 20}}}},
        // The directory listed by someone who shares nothing: an open without
        // read, write or delete access takes no part in share checks, and a
        // create inside it opens the new file, not the directory.
        {.name = "work_directory_held_without_sharing",
         .description = "Quarnhold held open by a lister that shares nothing",
         .items = {Directory("Quarnhold")},
         .foreignOpens = {{WorkDirectoryName, nt::FileReadData | nt::Synchronize, 0, false, std::nullopt}}},
    };
}

}  // namespace

const std::vector<StartingDisk>& StartingDisks()
{
    static const std::vector<StartingDisk> disks = Build();
    return disks;
}

const StartingDisk& FindStartingDisk(std::string_view name)
{
    for (const StartingDisk& disk : StartingDisks()) {
        if (disk.name == name) return disk;
    }
    throw std::out_of_range("no starting disk named " + std::string(name));
}

std::vector<testbed::FileSystem> FileSystemsOf(const StartingDisk& disk)
{
    if (disk.ntfsOnly) return {testbed::FileSystem::Ntfs};
    return {testbed::FileSystem::Ntfs, testbed::FileSystem::Fat};
}

RunSetup SetupFor(const StartingDisk& disk, const std::filesystem::path& folder, testbed::FileSystem fileSystem,
                  std::vector<testbed::InjectedFault> faults)
{
    return RunSetup{
        testbed::DriveC{disk.driveC ? std::optional(folder) : std::nullopt, disk.writeProtected, fileSystem},
        std::move(faults), disk.foreignOpens};
}

RunSetup SetupInMemory(const StartingDisk& disk, std::shared_ptr<testbed::MemoryVolume> volume,
                       testbed::FileSystem fileSystem, std::vector<testbed::InjectedFault> faults)
{
    testbed::DriveC driveC{std::nullopt, disk.writeProtected, fileSystem};
    if (disk.driveC) driveC.volume = std::move(volume);
    return RunSetup{std::move(driveC), std::move(faults), disk.foreignOpens};
}

testbed::KernelModel ModelFor(const StartingDisk& disk, const std::filesystem::path& folder,
                              testbed::FileSystem fileSystem, std::vector<testbed::InjectedFault> faults)
{
    return MakeModel(SetupFor(disk, folder, fileSystem, std::move(faults)));
}

}  // namespace quarnhold::fault_sweep
