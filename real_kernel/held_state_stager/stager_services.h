// stager_services.h
//
// The ntoskrnl.exe routines and records the held-state stager uses beyond
// the driver's own (kernel/kernel_services.h), declared as the kernel
// defines them. This build's ReactOS exports NtLockFile but not ZwLockFile;
// a DriverEntry runs in a system thread whose previous mode is KernelMode,
// so NtLockFile takes kernel handles as ZwLockFile would.

#pragma once

#include "kernel/kernel_services.h"

typedef unsigned char BOOLEAN;
constexpr BOOLEAN TRUE = 1;

// Access rights, share access and create options beyond the driver's.
constexpr ACCESS_MASK FILE_READ_DATA = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// FILE_INFORMATION_CLASS's FileDispositionInformation.
constexpr ULONG FileDispositionInformation = 13;

typedef struct _FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION;

NTSYSAPI NTSTATUS NTAPI ZwReadFile(
    HANDLE FileHandle,
    HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext,
    PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer,
    ULONG Length,
    PLARGE_INTEGER ByteOffset,
    PULONG Key);

NTSYSAPI NTSTATUS NTAPI ZwSetInformationFile(
    HANDLE FileHandle,
    PIO_STATUS_BLOCK IoStatusBlock,
    PVOID FileInformation,
    ULONG Length,
    ULONG FileInformationClass);

NTSYSAPI NTSTATUS NTAPI NtLockFile(
    HANDLE FileHandle,
    HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext,
    PIO_STATUS_BLOCK IoStatusBlock,
    PLARGE_INTEGER ByteOffset,
    PLARGE_INTEGER Length,
    ULONG Key,
    BOOLEAN FailImmediately,
    BOOLEAN ExclusiveLock);

#if QUARNHOLD_KERNEL_IMAGE
static_assert(sizeof(FILE_DISPOSITION_INFORMATION) == 1, "FILE_DISPOSITION_INFORMATION is one BOOLEAN");
#endif
