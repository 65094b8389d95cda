// scenarios.cpp
//
// Every run prints the entry message first and the exit message last, and
// returns STATUS_DEVICE_CONFIGURATION_ERROR; the table holds what differs.

#include "tests/scenarios.h"

#include "testbed/nt_file_definitions.h"
#include "testbed/nt_status.h"
#include "tests/support/messages.h"

namespace quarnhold::tests {
namespace {

namespace nt = testbed::nt;
namespace status = testbed::status;
using testbed::Routine;

const std::string Content(TestFileContent);

// The messages of a run, framed by the entry and exit messages.
std::vector<std::string> Run(std::vector<std::string> steps)
{
    steps.insert(steps.begin(), Printed(message::DriverEntry));
    steps.push_back(Printed(message::DriverExit));
    return steps;
}

// The three steps' messages, from their outcomes.
std::vector<std::string> DirectoryStep(const std::string& outcome)
{
    return {Printed(message::CreatingDirectory), outcome};
}

std::vector<std::string> Steps(std::vector<std::string> directory, std::vector<std::string> creation,
                               std::vector<std::string> write)
{
    std::vector<std::string> all = std::move(directory);
    all.push_back(Printed(message::CreatingFile));
    all.insert(all.end(), creation.begin(), creation.end());
    all.push_back(Printed(message::OpeningFile));
    all.insert(all.end(), write.begin(), write.end());
    return Run(std::move(all));
}

std::vector<std::string> Created() { return {Printed(message::FileCreated)}; }
std::vector<std::string> CreateFailed(uint32_t s) { return {Printed(message::FileCreateFailed, s)}; }
std::vector<std::string> Written() { return {Printed(message::FileOpened), Printed(message::FileWritten)}; }
std::vector<std::string> OpenFailed(uint32_t s) { return {Printed(message::FileOpenFailed, s)}; }
std::vector<std::string> WriteFailed(uint32_t s)
{
    return {Printed(message::FileOpened), Printed(message::FileWriteFailed, s)};
}

std::vector<Scenario> Build()
{
    std::vector<Scenario> table;

    table.push_back({.name = "typical_load",
                     .disk = "clean_drive_c",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryCreated)), Created(), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "second_start",
                     .disk = "after_a_run",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "no_drive_c",
                     .disk = "no_drive_c",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::ObjectPathNotFound)),
                                         CreateFailed(status::ObjectPathNotFound),
                                         OpenFailed(status::ObjectPathNotFound))});

    table.push_back({.name = "write_protected_empty_drive",
                     .disk = "write_protected_empty",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::MediaWriteProtected)),
                                         CreateFailed(status::ObjectPathNotFound),
                                         OpenFailed(status::ObjectPathNotFound))});

    table.push_back({.name = "write_protected_after_a_run",
                     .disk = "write_protected_after_a_run",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         OpenFailed(status::MediaWriteProtected)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "old")}});

    table.push_back({.name = "file_where_the_directory_should_be",
                     .disk = "file_where_the_directory_should_be",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::NotADirectory)),
                                         CreateFailed(status::ObjectPathNotFound),
                                         OpenFailed(status::ObjectPathNotFound)),
                     .after = {File("Quarnhold", "not a directory")}});

    table.push_back({.name = "directory_in_other_letter_case",
                     .disk = "directory_in_other_letter_case",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)), Created(), Written()),
                     .after = {Directory("QUARNHOLD"), File("QUARNHOLD/test.txt", Content)}});

    table.push_back({.name = "test_file_in_other_letter_case",
                     .disk = "test_file_in_other_letter_case",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("quarnhold"), File("quarnhold/TEST.TXT", Content)}});

    table.push_back({.name = "test_file_held_for_reading_without_write_sharing",
                     .disk = "test_file_held_for_reading_without_write_sharing",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         OpenFailed(status::SharingViolation)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "held")}});

    table.push_back({.name = "test_file_held_for_writing_sharing_everything",
                     .disk = "test_file_held_for_writing_sharing_everything",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         OpenFailed(status::SharingViolation)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "held")}});

    table.push_back({.name = "test_file_held_for_deleting",
                     .disk = "test_file_held_for_deleting",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         OpenFailed(status::SharingViolation)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "held")}});

    // Share access counts only read, write and delete: a holder with neither
    // constrains no one, and a reader that shares writing lets the driver in.
    table.push_back({.name = "test_file_held_without_data_access",
                     .disk = "test_file_held_without_data_access",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "test_file_held_for_reading_sharing_writes",
                     .disk = "test_file_held_for_reading_sharing_writes",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "test_file_longer_than_the_text",
                     .disk = "test_file_longer_than_the_text",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"),
                               File("Quarnhold/test.txt", Content + std::string(10, 'x') + "tail")}});

    table.push_back({.name = "test_file_shorter_than_the_text",
                     .disk = "test_file_shorter_than_the_text",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // FILE_OPEN without FILE_NON_DIRECTORY_FILE opens a directory too; the
    // write is what fails, and the handle is still closed.
    table.push_back({.name = "test_file_is_a_directory",
                     .disk = "test_file_is_a_directory",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         WriteFailed(status::InvalidDeviceRequest)),
                     .after = {Directory("Quarnhold"), Directory("Quarnhold/test.txt")}});

    // The read-only attribute is the model's own, so the answer is the same
    // for root.
    table.push_back({.name = "test_file_read_only",
                     .disk = "test_file_read_only",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision),
                                         OpenFailed(status::AccessDenied)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "keep", true)}});

    // A link where the directory should be is never followed out of drive C.
    table.push_back({.name = "work_directory_is_a_link",
                     .disk = "work_directory_is_a_link",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::IoReparseTagNotHandled)),
                                         CreateFailed(status::IoReparseTagNotHandled),
                                         OpenFailed(status::IoReparseTagNotHandled)),
                     .after = {Link("Quarnhold", "elsewhere"), Directory("elsewhere")}});

    // A success with an Information that is neither FILE_CREATED nor
    // FILE_OPENED: no outcome message, and the handle is still closed.
    table.push_back({.name = "directory_open_with_unexpected_information",
                     .disk = "clean_drive_c",
                     .faults = {{Routine::ZwCreateFile, 1, std::nullopt, 5}},
                     .transcript = Steps({Printed(message::CreatingDirectory)}, Created(), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // Any status but zero takes the failure branch, whatever its severity.
    // An informational status comes with the handle and the work done: the
    // directory is there, and the step closes the handle after its message.
    table.push_back(
        {.name = "directory_create_oplock_break_in_progress",
         .disk = "clean_drive_c",
         .faults = {{Routine::ZwCreateFile, 1, status::OplockBreakInProgress, std::nullopt}},
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::OplockBreakInProgress)), Created(),
                             Written()),
         .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "test_file_create_returns_object_name_exists",
                     .disk = "directory_only",
                     .faults = {{Routine::ZwCreateFile, 2, status::ObjectNameExists, std::nullopt}},
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameExists), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // No write follows a failed open, whatever the status; the handle an
    // informational status came with is still closed.
    table.push_back(
        {.name = "open_returns_object_name_exists",
         .disk = "after_a_run",
         .faults = {{Routine::ZwCreateFile, 3, status::ObjectNameExists, std::nullopt}},
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                             CreateFailed(status::ObjectNameCollision), OpenFailed(status::ObjectNameExists)),
         .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // The write was done; the driver reports the status all the same.
    table.push_back(
        {.name = "write_returns_oplock_break_in_progress",
         .disk = "test_file_shorter_than_the_text",
         .faults = {{Routine::ZwWriteFile, 1, status::OplockBreakInProgress, std::nullopt}},
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                             CreateFailed(status::ObjectNameCollision), WriteFailed(status::OplockBreakInProgress)),
         .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // Another holder has set the delete disposition: neither the create nor
    // the open gets the name.
    for (testbed::FileSystem fileSystem : {testbed::FileSystem::Ntfs, testbed::FileSystem::Fat}) {
        table.push_back(
            {.name = std::string("test_file_delete_pending_on_") + std::string(testbed::FileSystemOption(fileSystem)),
             .disk = "test_file_delete_pending",
             .fileSystem = fileSystem,
             .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)), CreateFailed(status::DeletePending),
                                 OpenFailed(status::DeletePending)),
             .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "going")}});
    }

    // The open is let in; the lock refuses the write; the handle is closed.
    table.push_back(
        {.name = "test_file_locked_by_another_handle",
         .disk = "test_file_locked_by_another_handle",
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                             CreateFailed(status::ObjectNameCollision), WriteFailed(status::FileLockConflict)),
         .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "locked by its reader")}});

    // A SYNCHRONIZE-only open takes no part in share checks, and creating
    // test.txt opens test.txt, not the directory.
    table.push_back({.name = "work_directory_held_without_sharing",
                     .disk = "work_directory_held_without_sharing",
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)), Created(), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // FAT lets the open for writing through on a write-protected volume and
    // refuses the write; NTFS refuses the open (write_protected_after_a_run).
    table.push_back(
        {.name = "write_protected_after_a_run_on_fat",
         .disk = "write_protected_after_a_run",
         .fileSystem = testbed::FileSystem::Fat,
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                             CreateFailed(status::ObjectNameCollision), WriteFailed(status::MediaWriteProtected)),
         .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "old")}});

    // FAT refuses a write to a directory with STATUS_INVALID_PARAMETER, NTFS
    // with STATUS_INVALID_DEVICE_REQUEST (test_file_is_a_directory).
    table.push_back(
        {.name = "test_file_is_a_directory_on_fat",
         .disk = "test_file_is_a_directory",
         .fileSystem = testbed::FileSystem::Fat,
         .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                             CreateFailed(status::ObjectNameCollision), WriteFailed(status::InvalidParameter)),
         .after = {Directory("Quarnhold"), Directory("Quarnhold/test.txt")}});

    // No cluster free (FAT only): a new directory needs one; an empty file
    // needs none but its first bytes do; a write inside the clusters test.txt
    // holds needs none.
    table.push_back({.name = "full_volume_empty",
                     .disk = "full_volume_empty",
                     .fileSystem = testbed::FileSystem::Fat,
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryFailed, status::DiskFull)),
                                         CreateFailed(status::ObjectPathNotFound),
                                         OpenFailed(status::ObjectPathNotFound))});
    table.push_back({.name = "full_volume_directory_only",
                     .disk = "full_volume_directory_only",
                     .fileSystem = testbed::FileSystem::Fat,
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)), Created(),
                                         WriteFailed(status::DiskFull)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "")}});
    table.push_back({.name = "full_volume_test_file_shorter_than_the_text",
                     .disk = "full_volume_test_file_shorter_than_the_text",
                     .fileSystem = testbed::FileSystem::Fat,
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::ObjectNameCollision), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    // FAT is as it is on NTFS wherever nothing above says otherwise.
    table.push_back({.name = "typical_load_on_fat",
                     .disk = "clean_drive_c",
                     .fileSystem = testbed::FileSystem::Fat,
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryCreated)), Created(), Written()),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", Content)}});

    table.push_back({.name = "test_file_create_refused",
                     .disk = "directory_only",
                     .faults = {{Routine::ZwCreateFile, 2, status::AccessDenied, std::nullopt}},
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryOpened)),
                                         CreateFailed(status::AccessDenied),
                                         OpenFailed(status::ObjectNameNotFound)),
                     .after = {Directory("Quarnhold")}});

    table.push_back({.name = "disk_full_on_write",
                     .disk = "clean_drive_c",
                     .faults = {{Routine::ZwWriteFile, 1, status::DiskFull, std::nullopt}},
                     .transcript = Steps(DirectoryStep(Printed(message::DirectoryCreated)), Created(),
                                         WriteFailed(status::DiskFull)),
                     .after = {Directory("Quarnhold"), File("Quarnhold/test.txt", "")}});

    return table;
}

}  // namespace

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> table = Build();
    return table;
}

}  // namespace quarnhold::tests
