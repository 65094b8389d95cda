// write_test_file.cpp
//
// The test file write step and its messages.

#include "kernel/kernel_services.h"
#include "steps/file_steps.h"
#include "steps/paths.h"

namespace {

// "打开文件准备写入数据": about to open the file for writing.
constexpr char OpeningFileMessage[] =
    "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xD7\xBC\xB1\xB8\xD0\xB4\xC8\xEB\xCA\xFD\xBE\xDD";
// "文件打开成功": the open succeeded.
constexpr char FileOpenedMessage[] = "\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB3\xC9\xB9\xA6";
// "无法打开文件,错误代码: %08X" with the status of the open.
constexpr char FileOpenFailedMessage[] =
    "\xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE,\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB: %08X";
// "文件写入成功": the write succeeded.
constexpr char FileWrittenMessage[] = "\xCE\xC4\xBC\xFE\xD0\xB4\xC8\xEB\xB3\xC9\xB9\xA6";
// "无法写入文件,错误代码: %08X" with the status of the write.
constexpr char FileWriteFailedMessage[] =
    "\xCE\xDE\xB7\xA8\xD0\xB4\xC8\xEB\xCE\xC4\xBC\xFE,\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB: %08X";

}  // namespace

// WriteTestFile
//
// Opens the existing test.txt for writing and writes TestFileContent at its
// start, without truncating. Runs once, third of the steps.
void WriteTestFile(void)
{
    HANDLE FileHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    NTSTATUS Status;

    DbgPrint(OpeningFileMessage);

    InitializeObjectAttributes(&ObjectAttributes,
                               const_cast<PUNICODE_STRING>(&TestFilePath),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr,
                               nullptr);

    // FILE_OPEN: only a file that exists. Others may read it while it is held.
    Status = ZwCreateFile(&FileHandle,
                          SYNCHRONIZE | FILE_WRITE_DATA,
                          &ObjectAttributes,
                          &IoStatusBlock,
                          nullptr,
                          0,
                          FILE_SHARE_READ,
                          FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT,
                          nullptr,
                          0);
    if (Status != STATUS_SUCCESS) {
        DbgPrint(FileOpenFailedMessage, Status);
        // No write on this branch; but a success status other than zero
        // still hands out a handle, which would hold test.txt until reboot.
        if (NT_SUCCESS(Status)) {
            ZwClose(FileHandle);
        }
        return;
    }

    DbgPrint(FileOpenedMessage);

    // No ByteOffset: a synchronous handle writes at its position, 0 after a
    // fresh open, and the call returns when the write is complete.
    Status = ZwWriteFile(FileHandle,
                         nullptr,
                         nullptr,
                         nullptr,
                         &IoStatusBlock,
                         const_cast<char*>(TestFileContent),
                         TestFileContentLength,
                         nullptr,
                         nullptr);
    if (Status != STATUS_SUCCESS) {
        DbgPrint(FileWriteFailedMessage, Status);
    } else {
        DbgPrint(FileWrittenMessage);
    }

    ZwClose(FileHandle);
}
