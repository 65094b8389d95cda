// guest_layout.h
//
// Where things live in the emulated kernel's address space. All of it is in
// the i386 kernel's half (0x80000000 and up), as for a real driver.

#pragma once

#include <cstdint>

namespace quarnhold::emulator::layout {

// The import traps: one short stub per kernel routine.
constexpr uint32_t TrapPage = 0x80010000;
// DriverEntry returns here; the run stops when EIP arrives.
constexpr uint32_t ReturnToLoader = TrapPage + 0x0F00;

// The kernel's GDT, with the flat ring-0 code and data segments an i386
// kernel runs in at the selectors NT gives them (KGDT_R0_CODE 0x08,
// KGDT_R0_DATA 0x10, ReactOS ketypes.h). CS, DS, ES and SS hold them when
// DriverEntry is called, as on NT, so that a driver that loads a segment
// register finds the others as a kernel has them.
constexpr uint32_t Gdt = 0x80020000;
constexpr uint16_t KernelCodeSelector = 0x08;
constexpr uint16_t KernelDataSelector = 0x10;

// The i386 kernel stack: 12 KB, nothing mapped just below it, so an
// overflow faults at once.
constexpr uint32_t StackLimit = 0x80200000;
constexpr uint32_t DefaultStackBytes = 12 * 1024;
constexpr uint32_t StackGuardBytes = 64 * 1024;
// Every byte of the stack holds this before a run, as a checked build's
// stack holds 0xCC: an uninitialised local reads as 0xCCCCCCCC.
constexpr uint8_t StackFill = 0xCC;

// The loader's own data that DriverEntry receives and must not touch.
constexpr uint32_t LoaderData = 0x80300000;
constexpr uint32_t DriverObject = LoaderData;             // DRIVER_OBJECT, 0xA8 bytes on i386
constexpr uint32_t DriverObjectSize = 0xA8;
constexpr uint32_t RegistryPath = LoaderData + 0x100;     // UNICODE_STRING, 8 bytes
constexpr uint32_t RegistryPathBuffer = LoaderData + 0x200;

// Where the image is mapped; never its preferred base, so that its base
// relocations are applied and so checked.
constexpr uint32_t ImageBase = 0x80A00000;
constexpr uint32_t AlternateImageBase = 0x80B00000;

}  // namespace quarnhold::emulator::layout
