// nt_file_definitions.h
//
// The constants of NT's file interface that the model interprets, defined
// independently of the driver's kernel/ headers (see nt_status.h for why).

#pragma once

#include <cstdint>

namespace quarnhold::testbed::nt {

// Access rights.
constexpr uint32_t FileReadData = 0x0001;        // FILE_READ_DATA, FILE_LIST_DIRECTORY
constexpr uint32_t FileWriteData = 0x0002;       // FILE_WRITE_DATA, FILE_ADD_FILE
constexpr uint32_t FileAppendData = 0x0004;      // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
constexpr uint32_t FileReadEa = 0x0008;
constexpr uint32_t FileWriteEa = 0x0010;
constexpr uint32_t FileExecute = 0x0020;         // FILE_EXECUTE, FILE_TRAVERSE
constexpr uint32_t FileDeleteChild = 0x0040;
constexpr uint32_t FileReadAttributes = 0x0080;
constexpr uint32_t FileWriteAttributes = 0x0100;
constexpr uint32_t Delete = 0x00010000;
constexpr uint32_t ReadControl = 0x00020000;
constexpr uint32_t WriteDac = 0x00040000;
constexpr uint32_t WriteOwner = 0x00080000;
constexpr uint32_t Synchronize = 0x00100000;
constexpr uint32_t MaximumAllowed = 0x02000000;
constexpr uint32_t GenericAll = 0x10000000;
constexpr uint32_t GenericExecute = 0x20000000;
constexpr uint32_t GenericWrite = 0x40000000;
constexpr uint32_t GenericRead = 0x80000000;

// The file object's generic mapping.
constexpr uint32_t FileGenericRead = 0x00120089;
constexpr uint32_t FileGenericWrite = 0x00120116;
constexpr uint32_t FileGenericExecute = 0x001200A0;
constexpr uint32_t FileAllAccess = 0x001F01FF;

// Rights that change a file or its metadata: refused on a write-protected
// volume, and on a read-only file.
constexpr uint32_t ModifyingAccess =
    FileWriteData | FileAppendData | FileWriteEa | FileWriteAttributes | Delete | WriteDac | WriteOwner;

// Share access.
constexpr uint32_t FileShareRead = 0x1;
constexpr uint32_t FileShareWrite = 0x2;
constexpr uint32_t FileShareDelete = 0x4;
constexpr uint32_t FileShareValidFlags = 0x7;

// Object attributes.
constexpr uint32_t ObjInherit = 0x002;
constexpr uint32_t ObjCaseInsensitive = 0x040;
constexpr uint32_t ObjKernelHandle = 0x200;

// Create dispositions.
constexpr uint32_t FileSupersede = 0;
constexpr uint32_t FileOpen = 1;
constexpr uint32_t FileCreate = 2;
constexpr uint32_t FileOpenIf = 3;
constexpr uint32_t FileOverwrite = 4;
constexpr uint32_t FileOverwriteIf = 5;
constexpr uint32_t FileMaximumDisposition = 5;

// Create options the model interprets; others are accepted and ignored.
constexpr uint32_t FileDirectoryFile = 0x00000001;
constexpr uint32_t FileSynchronousIoAlert = 0x00000010;
constexpr uint32_t FileSynchronousIoNonalert = 0x00000020;
constexpr uint32_t FileNonDirectoryFile = 0x00000040;
constexpr uint32_t FileValidOptionFlags = 0x00FFFFFF;

// File attributes.
constexpr uint32_t FileAttributeReadonly = 0x00000001;
constexpr uint32_t FileAttributeDirectory = 0x00000010;
constexpr uint32_t FileAttributeNormal = 0x00000080;
constexpr uint32_t FileAttributeValidFlags = 0x00007FB7;

// IO_STATUS_BLOCK.Information after a create.
constexpr uint32_t FileSuperseded = 0;
constexpr uint32_t FileOpened = 1;
constexpr uint32_t FileCreated = 2;
constexpr uint32_t FileOverwritten = 3;

// Special ByteOffset values of ZwWriteFile.
constexpr int64_t FileWriteToEndOfFile = -1;     // low part 0xFFFFFFFF, high part -1
constexpr int64_t FileUseFilePointerPosition = -2;  // low part 0xFFFFFFFE, high part -1

}  // namespace quarnhold::testbed::nt
