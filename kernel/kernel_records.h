// kernel_records.h
//
// The platform records the driver hands to the kernel, laid out as the kernel
// defines them. On i386 and amd64 the layouts are checked against the kernel's
// sizes and offsets, so a wrong field cannot reach either image.

#pragma once

#include "kernel/kernel_types.h"

// Counted UTF-16 string: Length and MaximumLength in bytes.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

// Names an object for ZwCreateFile; filled by InitializeObjectAttributes.
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

// Final status and information of an I/O request; written only by the kernel.
typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

// The driver never looks inside its DRIVER_OBJECT, so the type stays
// incomplete: any attempt to touch a field fails to compile.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

// Completion routine type of ZwWriteFile; the driver always passes none.
typedef void (NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

#if defined(_M_IX86)
static_assert(sizeof(PVOID) == 4, "the kernel image is 32-bit");
static_assert(sizeof(UNICODE_STRING) == 8, "UNICODE_STRING is 8 bytes on i386");
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2, "UNICODE_STRING layout");
static_assert(offsetof(UNICODE_STRING, Buffer) == 4, "UNICODE_STRING layout");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24, "OBJECT_ATTRIBUTES is 24 bytes on i386");
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 4, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 8, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 12, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 16, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 20, "OBJECT_ATTRIBUTES layout");
static_assert(sizeof(IO_STATUS_BLOCK) == 8, "IO_STATUS_BLOCK is 8 bytes on i386");
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 4, "IO_STATUS_BLOCK layout");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");
#elif defined(_M_X64)
// Pointers and ULONG_PTR are 8 bytes and aligned to 8, so each record has
// padding after a 32-bit field that a pointer follows.
static_assert(sizeof(PVOID) == 8, "the kernel image is 64-bit");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG stay 32-bit on amd64");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING is 16 bytes on amd64");
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2, "UNICODE_STRING layout");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING layout");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES is 48 bytes on amd64");
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 40, "OBJECT_ATTRIBUTES layout");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK is 16 bytes on amd64");
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8, "IO_STATUS_BLOCK layout");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");
#endif
