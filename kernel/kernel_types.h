// kernel_types.h
//
// The NT scalar types and calling conventions the driver is written in. The
// driver includes no SDK or DDK header; this file and kernel_records.h declare
// exactly as much of the platform as the driver uses.
//
// The same sources are built three ways: as the i386 and the amd64 kernel
// images, and for the host against the test bed's model of the kernel. Only
// this room knows the difference.

#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_M_IX86)
// The i386 kernel image: kernel routines are stdcall and imported from
// ntoskrnl.exe through the import address table.
#define NTAPI __stdcall
#define NTSYSAPI extern "C" __declspec(dllimport)
#elif defined(_M_X64)
// The amd64 kernel image: amd64 has one calling convention (the first four
// arguments in registers, the caller pops), so NTAPI names none; the
// routines are imported from ntoskrnl.exe as on i386.
#define NTAPI
#define NTSYSAPI extern "C" __declspec(dllimport)
#elif defined(QUARNHOLD_HOST_BUILD)
// The host build: the four routines come from the test bed, and the host has
// one calling convention. Its CMake targets define QUARNHOLD_HOST_BUILD.
#define NTAPI
#define NTSYSAPI extern "C"
#else
// Any other target would silently take the host's empty conventions and
// skip every layout check: refuse it.
#error "kernel_types.h: unknown target; the driver builds for i386 (_M_IX86), amd64 (_M_X64) or the host test bed (QUARNHOLD_HOST_BUILD)"
#endif

// ULONG is 32 bits on NT for every target; on the host's LP64 model a plain
// unsigned long would be 64, so the widths are spelled out.
typedef unsigned char UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR;
typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef const char* PCSTR;

// UTF-16 code units: char16_t on both targets, since wchar_t is 32 bits on
// the host.
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;

typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
