"""Hand-made bugs in the driver's sources, one per mutant.

Each mutant names the file it changes (relative to the source root), the text
it replaces, which must occur there exactly once, and the text it puts in its
place. A mutant marked `named` is one of the bugs a sweep that checks only
that the messages agree with the kernel's answers let through: a driver that
passes the wrong flags and honestly reports the refusal that follows.
"""

DIRECTORY = "steps/create_work_directory.cpp"
CREATION = "steps/create_test_file.cpp"
WRITE = "steps/write_test_file.cpp"
PATHS = "steps/paths.cpp"
ENTRY = "driver/driver_entry.cpp"
KERNEL = "kernel/kernel_services.h"

# The create's arguments, as each step writes them (continuation lines are
# indented to the opening parenthesis).
ARG = "\n                          "

MUTANTS = [
    # The work directory step.
    dict(name="directory_created_with_file_create", named=True, file=DIRECTORY,
         old="FILE_OPEN_IF,", new="FILE_CREATE,"),
    dict(name="directory_opened_without_synchronize", named=True, file=DIRECTORY,
         old="&DirectoryHandle," + ARG + "SYNCHRONIZE,", new="&DirectoryHandle," + ARG + "0,"),
    dict(name="directory_opened_without_directory_file", file=DIRECTORY,
         old="FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT", new="FILE_SYNCHRONOUS_IO_NONALERT"),
    dict(name="directory_shared_for_reading", file=DIRECTORY,
         old="0," + ARG + "FILE_OPEN_IF,", new="FILE_SHARE_READ," + ARG + "FILE_OPEN_IF,"),
    dict(name="directory_with_no_file_attributes", file=DIRECTORY,
         old="FILE_ATTRIBUTE_NORMAL,", new="0,"),
    dict(name="directory_case_sensitive", file=DIRECTORY,
         old="OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE", new="OBJ_KERNEL_HANDLE"),
    dict(name="directory_with_a_security_descriptor", file=DIRECTORY,
         old="OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,\n                               nullptr,\n"
             "                               nullptr);",
         new="OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,\n                               nullptr,\n"
             "                               const_cast<PUNICODE_STRING>(&WorkDirectoryPath));"),
    dict(name="directory_information_tests_swapped", file=DIRECTORY,
         old="Information == FILE_CREATED) {", new="Information == FILE_OPENED) {"),
    dict(name="directory_opened_message_for_any_information", file=DIRECTORY,
         old="} else if (IoStatusBlock.Information == FILE_OPENED) {", new="} else {"),
    dict(name="directory_handle_never_closed", file=DIRECTORY,
         old="    ZwClose(DirectoryHandle);\n}", new="}"),
    dict(name="directory_failure_with_the_wrong_status", file=DIRECTORY,
         old="DbgPrint(DirectoryFailedMessage, Status);", new="DbgPrint(DirectoryFailedMessage, Status & 0xFFFF);"),
    dict(name="directory_success_statuses_taken_for_success", file=DIRECTORY,
         old="if (Status != STATUS_SUCCESS) {", new="if (Status < 0) {"),
    dict(name="directory_success_status_handle_left_open", file=DIRECTORY,
         old="if (NT_SUCCESS(Status)) {", new="if (false) {"),

    # The test file creation step.
    dict(name="test_file_created_with_open_if", file=CREATION,
         old=ARG + "FILE_CREATE,", new=ARG + "FILE_OPEN_IF,"),
    dict(name="test_file_superseded", file=CREATION,
         old=ARG + "FILE_CREATE,", new=ARG + "0,"),
    dict(name="test_file_created_without_synchronize", file=CREATION,
         old="&FileHandle," + ARG + "SYNCHRONIZE,", new="&FileHandle," + ARG + "0,"),
    dict(name="test_file_created_for_writing", file=CREATION,
         old="&FileHandle," + ARG + "SYNCHRONIZE,", new="&FileHandle," + ARG + "SYNCHRONIZE | FILE_WRITE_DATA,"),
    dict(name="test_file_created_shared_for_reading", file=CREATION,
         old="0," + ARG + "FILE_CREATE,", new="FILE_SHARE_READ," + ARG + "FILE_CREATE,"),
    dict(name="test_file_created_with_an_ea_length", file=CREATION,
         old="nullptr," + ARG + "0);", new="nullptr," + ARG + "1);"),
    dict(name="created_test_file_never_closed", file=CREATION,
         old="    DbgPrint(FileCreatedMessage);\n    ZwClose(FileHandle);", new="    DbgPrint(FileCreatedMessage);"),
    dict(name="created_test_file_closed_twice", file=CREATION,
         old="    DbgPrint(FileCreatedMessage);\n    ZwClose(FileHandle);",
         new="    DbgPrint(FileCreatedMessage);\n    ZwClose(FileHandle);\n    ZwClose(FileHandle);"),
    dict(name="creation_failure_in_lower_case_hex", file=CREATION,
         old=": %08X\";", new=": %08x\";"),
    dict(name="creation_success_status_handle_left_open", file=CREATION,
         old="if (NT_SUCCESS(Status)) {", new="if (false) {"),

    # The test file write step.
    dict(name="test_file_opened_for_appending", named=True, file=WRITE,
         old="SYNCHRONIZE | FILE_WRITE_DATA,", new="SYNCHRONIZE | 0x00000004,"),
    dict(name="test_file_opened_without_synchronize", file=WRITE,
         old="SYNCHRONIZE | FILE_WRITE_DATA,", new="FILE_WRITE_DATA,"),
    dict(name="test_file_opened_without_sharing", file=WRITE,
         old="FILE_SHARE_READ,", new="0,"),
    dict(name="test_file_opened_sharing_writes", file=WRITE,
         old="FILE_SHARE_READ,", new="FILE_SHARE_READ | 0x00000002,"),
    dict(name="test_file_opened_with_open_if", file=WRITE,
         old="FILE_OPEN,", new="FILE_OPEN_IF,"),
    dict(name="test_file_opened_asynchronously", file=WRITE,
         old="FILE_SYNCHRONOUS_IO_NONALERT,", new="0,"),
    dict(name="write_of_19_bytes", named=True, file=WRITE,
         old="TestFileContentLength,", new="TestFileContentLength - 1,"),
    dict(name="write_at_an_explicit_offset", file=WRITE,
         old="    NTSTATUS Status;\n", new="    NTSTATUS Status;\n    LARGE_INTEGER Offset;\n    Offset.QuadPart = 0;\n",
         then=dict(old="TestFileContentLength,\n                         nullptr,",
                   new="TestFileContentLength,\n                         &Offset,")),
    dict(name="write_messages_swapped", file=WRITE,
         old="DbgPrint(FileWriteFailedMessage, Status);\n    } else {\n        DbgPrint(FileWrittenMessage);",
         new="DbgPrint(FileWrittenMessage);\n    } else {\n        DbgPrint(FileWriteFailedMessage, Status);"),
    dict(name="write_status_not_looked_at", file=WRITE,
         old="    if (Status != STATUS_SUCCESS) {\n        DbgPrint(FileWriteFailedMessage",
         new="    if (false) {\n        DbgPrint(FileWriteFailedMessage"),
    dict(name="handle_left_open_after_a_failed_write", file=WRITE,
         old="    ZwClose(FileHandle);\n}", new="    if (Status == STATUS_SUCCESS) {\n        ZwClose(FileHandle);\n    }\n}"),
    dict(name="write_failure_without_its_width", file=WRITE,
         old="\\xC8\\xEB\\xCE\\xC4\\xBC\\xFE,\\xB4\\xED\\xCE\\xF3\\xB4\\xFA\\xC2\\xEB: %08X",
         new="\\xC8\\xEB\\xCE\\xC4\\xBC\\xFE,\\xB4\\xED\\xCE\\xF3\\xB4\\xFA\\xC2\\xEB: %X"),
    dict(name="open_success_status_handle_left_open", file=WRITE,
         old="if (NT_SUCCESS(Status)) {", new="if (false) {"),

    # The constant data the steps share.
    dict(name="wrong_content_byte", named=True, file=PATHS,
         old="\\xC1\\xCB\"", new="\\xC1\\xCC\""),
    dict(name="path_names_drive_c_in_upper_case", file=PATHS,
         old="u\"\\\\??\\\\c:\\\\Quarnhold\";", new="u\"\\\\??\\\\C:\\\\Quarnhold\";"),
    dict(name="test_file_named_test_dat", file=PATHS,
         old="test.txt\";", new="test.dat\";"),
    dict(name="paths_counted_without_their_terminator", file=PATHS,
         old="static_cast<USHORT>(Count * sizeof(WCHAR)),", new="static_cast<USHORT>((Count - 1) * sizeof(WCHAR)),"),

    # The entry routine and the kernel boundary.
    dict(name="entry_message_with_a_wrong_byte", file=ENTRY,
         old="\\xC7\\xFD\\xB6\\xAF\\xC8\\xEB\\xBF\\xDA\"", new="\\xC7\\xFD\\xB6\\xAF\\xC8\\xEB\\xBF\\xDB\""),
    dict(name="load_succeeds", file=ENTRY,
         old="    return STATUS_DEVICE_CONFIGURATION_ERROR;", new="    return STATUS_SUCCESS;"),
    dict(name="write_step_before_creation_step", file=ENTRY,
         old="    CreateTestFile();\n    WriteTestFile();", new="    WriteTestFile();\n    CreateTestFile();"),
    dict(name="object_attributes_length_short", file=KERNEL,
         old="InitializedAttributes->Length = sizeof(OBJECT_ATTRIBUTES);",
         new="InitializedAttributes->Length = sizeof(OBJECT_ATTRIBUTES) - 4;"),
    dict(name="write_step_without_obj_kernel_handle", file=WRITE,
         old="OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE", new="OBJ_CASE_INSENSITIVE"),
]
