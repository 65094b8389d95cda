// create_test_file.cpp
//
// The test file creation step and its messages.

#include "kernel/kernel_services.h"
#include "steps/file_steps.h"
#include "steps/paths.h"

namespace {

// "创建文件 %ws " with the file's path.
constexpr char CreatingFileMessage[] = "\xB4\xB4\xBD\xA8\xCE\xC4\xBC\xFE %ws ";
// "文件创建成功": the file was created.
constexpr char FileCreatedMessage[] = "\xCE\xC4\xBC\xFE\xB4\xB4\xBD\xA8\xB3\xC9\xB9\xA6";
// "文件创建失败,错误代码: %08X" with the kernel's status.
constexpr char FileCreateFailedMessage[] =
    "\xCE\xC4\xBC\xFE\xB4\xB4\xBD\xA8\xCA\xA7\xB0\xDC,\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB: %08X";

}  // namespace

// CreateTestFile
//
// Creates test.txt empty with FILE_CREATE, so an existing file is reported as
// a failure and never truncated. Runs once, second of the steps.
void CreateTestFile(void)
{
    HANDLE FileHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    NTSTATUS Status;

    DbgPrint(CreatingFileMessage, TestFilePath.Buffer);

    InitializeObjectAttributes(&ObjectAttributes,
                               const_cast<PUNICODE_STRING>(&TestFilePath),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr,
                               nullptr);

    Status = ZwCreateFile(&FileHandle,
                          SYNCHRONIZE,
                          &ObjectAttributes,
                          &IoStatusBlock,
                          nullptr,
                          FILE_ATTRIBUTE_NORMAL,
                          0,
                          FILE_CREATE,
                          FILE_SYNCHRONOUS_IO_NONALERT,
                          nullptr,
                          0);
    if (Status != STATUS_SUCCESS) {
        DbgPrint(FileCreateFailedMessage, Status);
        // A success status other than zero still hands out a handle, which
        // would keep test.txt unshared until reboot.
        if (NT_SUCCESS(Status)) {
            ZwClose(FileHandle);
        }
        return;
    }

    DbgPrint(FileCreatedMessage);
    ZwClose(FileHandle);
}
