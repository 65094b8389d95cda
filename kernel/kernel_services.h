// kernel_services.h
//
// The only place where the driver meets the platform: the four ntoskrnl.exe
// routines it calls, the records and constants it passes to them, and the one
// way every step fills its OBJECT_ATTRIBUTES.

#pragma once

#include "kernel/kernel_records.h"

// Status values the driver produces or tests for.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = static_cast<NTSTATUS>(0xC0000182);

// NT_SUCCESS
//
// True for success and informational statuses (0x00000000 to 0x7FFFFFFF).
// A ZwCreateFile that returns one of them has handed out a handle.
constexpr bool NT_SUCCESS(NTSTATUS Status)
{
    return Status >= 0;
}

// Access rights.
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x00000002;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;

// Object attributes.
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

// File attributes and share access.
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_SHARE_READ = 0x00000001;

// Create dispositions.
constexpr ULONG FILE_OPEN = 0x00000001;
constexpr ULONG FILE_CREATE = 0x00000002;
constexpr ULONG FILE_OPEN_IF = 0x00000003;

// Create options.
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;

// IO_STATUS_BLOCK.Information after a create or open.
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;

NTSYSAPI NTSTATUS NTAPI ZwCreateFile(
    PHANDLE FileHandle,
    ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes,
    PIO_STATUS_BLOCK IoStatusBlock,
    PLARGE_INTEGER AllocationSize,
    ULONG FileAttributes,
    ULONG ShareAccess,
    ULONG CreateDisposition,
    ULONG CreateOptions,
    PVOID EaBuffer,
    ULONG EaLength);

NTSYSAPI NTSTATUS NTAPI ZwWriteFile(
    HANDLE FileHandle,
    HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext,
    PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer,
    ULONG Length,
    PLARGE_INTEGER ByteOffset,
    PULONG Key);

NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

// cdecl with variable arguments on every target: the caller pops them.
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);

// InitializeObjectAttributes
//
// Fills an OBJECT_ATTRIBUTES record field by field, as the DDK's macro does.
// Field stores rather than a block copy keep memset out of the kernel image.
inline void InitializeObjectAttributes(
    POBJECT_ATTRIBUTES InitializedAttributes,
    PUNICODE_STRING ObjectName,
    ULONG Attributes,
    HANDLE RootDirectory,
    PVOID SecurityDescriptor)
{
    InitializedAttributes->Length = sizeof(OBJECT_ATTRIBUTES);
    InitializedAttributes->RootDirectory = RootDirectory;
    InitializedAttributes->Attributes = Attributes;
    InitializedAttributes->ObjectName = ObjectName;
    InitializedAttributes->SecurityDescriptor = SecurityDescriptor;
    InitializedAttributes->SecurityQualityOfService = nullptr;
}
