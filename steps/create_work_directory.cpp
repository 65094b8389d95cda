// create_work_directory.cpp
//
// The work directory step and its messages.

#include "kernel/kernel_services.h"
#include "steps/file_steps.h"
#include "steps/paths.h"

namespace {

// "创建目录: %ws " with the directory's path.
constexpr char CreatingDirectoryMessage[] = "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC: %ws ";
// "目录创建": this run created the directory.
constexpr char DirectoryCreatedMessage[] = "\xC4\xBF\xC2\xBC\xB4\xB4\xBD\xA8";
// "目录共享": the directory was already there.
constexpr char DirectoryOpenedMessage[] = "\xC4\xBF\xC2\xBC\xB9\xB2\xCF\xED";
// "无法创建目录,错误代码 %08X" with the kernel's status.
constexpr char DirectoryFailedMessage[] =
    "\xCE\xDE\xB7\xA8\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC,\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB %08X";

}  // namespace

// CreateWorkDirectory
//
// Opens \??\c:\Quarnhold as a directory, creating it when it is missing, and
// says which happened. Runs once, first of the steps, at PASSIVE_LEVEL.
void CreateWorkDirectory(void)
{
    HANDLE DirectoryHandle;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatusBlock;
    NTSTATUS Status;

    DbgPrint(CreatingDirectoryMessage, WorkDirectoryPath.Buffer);

    InitializeObjectAttributes(&ObjectAttributes,
                               const_cast<PUNICODE_STRING>(&WorkDirectoryPath),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr,
                               nullptr);

    // SYNCHRONIZE alone: the handle only proves the directory exists.
    Status = ZwCreateFile(&DirectoryHandle,
                          SYNCHRONIZE,
                          &ObjectAttributes,
                          &IoStatusBlock,
                          nullptr,
                          FILE_ATTRIBUTE_NORMAL,
                          0,
                          FILE_OPEN_IF,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                          nullptr,
                          0);
    if (Status != STATUS_SUCCESS) {
        DbgPrint(DirectoryFailedMessage, Status);
        // A success status other than zero still hands out a handle; left
        // open, it would hold the directory in the System process until reboot.
        if (NT_SUCCESS(Status)) {
            ZwClose(DirectoryHandle);
        }
        return;
    }

    if (IoStatusBlock.Information == FILE_CREATED) {
        DbgPrint(DirectoryCreatedMessage);
    } else if (IoStatusBlock.Information == FILE_OPENED) {
        DbgPrint(DirectoryOpenedMessage);
    }

    ZwClose(DirectoryHandle);
}
