// guest_layout.h
//
// Where things live in the emulated kernel's address space, one layout for
// each machine. All of it is in the kernel's half of the address space, as
// for a real driver: from 0x80000000 on i386, and in the amd64 kernel's
// system space (0xFFFFF800'00000000 and up) on amd64, above 4 GB, so that a
// pointer cut to 32 bits shows.

#pragma once

#include <cstdint>

namespace quarnhold::emulator {

struct GuestLayout {
    // The import traps: one short stub per kernel routine.
    uint64_t trapPage = 0;
    // DriverEntry returns here; the run stops when the instruction pointer
    // arrives.
    uint64_t returnToLoader = 0;

    // The kernel stack: nothing mapped just below it, so an overflow faults
    // at once.
    uint64_t stackLimit = 0;
    uint32_t defaultStackBytes = 0;  // the kernel's own KERNEL_STACK_SIZE
    uint32_t stackGuardBytes = 0;

    // The loader's own data that DriverEntry receives and must not touch.
    uint64_t loaderData = 0;
    uint64_t driverObject = 0;       // DRIVER_OBJECT
    uint32_t driverObjectSize = 0;
    uint64_t registryPath = 0;       // UNICODE_STRING
    uint64_t registryPathBuffer = 0;

    // Where the image is mapped; never its preferred base, so that its base
    // relocations are applied and so checked.
    uint64_t imageBase = 0;
    uint64_t alternateImageBase = 0;

    // The kernel's GDT, with the flat ring-0 code and data segments the
    // kernel runs in at the selectors NT gives them. CS, DS, ES and SS hold
    // them when DriverEntry is called, as on NT, so that a driver that loads
    // a segment register finds the others as a kernel has them.
    uint64_t gdt = 0;
    uint16_t kernelCodeSelector = 0;
    uint16_t kernelDataSelector = 0;
};

// Every byte of the stack holds this before a run, as a checked build's
// stack holds 0xCC: an uninitialised local reads as 0xCCCCCCCC.
constexpr uint8_t StackFill = 0xCC;

namespace layout {

constexpr GuestLayout I386{
    .trapPage = 0x80010000,
    .returnToLoader = 0x80010F00,
    .stackLimit = 0x80200000,
    .defaultStackBytes = 12 * 1024,
    .stackGuardBytes = 64 * 1024,
    .loaderData = 0x80300000,
    .driverObject = 0x80300000,  // 0xA8 bytes on i386
    .driverObjectSize = 0xA8,
    .registryPath = 0x80300100,  // 8 bytes
    .registryPathBuffer = 0x80300200,
    .imageBase = 0x80A00000,
    .alternateImageBase = 0x80B00000,
    .gdt = 0x80020000,
    .kernelCodeSelector = 0x08,  // KGDT_R0_CODE, ReactOS ketypes.h
    .kernelDataSelector = 0x10,  // KGDT_R0_DATA
};

constexpr GuestLayout Amd64{
    .trapPage = 0xFFFFF80000010000,
    .returnToLoader = 0xFFFFF80000010F00,
    .stackLimit = 0xFFFFF80000200000,
    .defaultStackBytes = 24 * 1024,
    .stackGuardBytes = 64 * 1024,
    .loaderData = 0xFFFFF80000300000,
    .driverObject = 0xFFFFF80000300000,  // 0x150 bytes on amd64
    .driverObjectSize = 0x150,
    .registryPath = 0xFFFFF80000300200,  // 16 bytes
    .registryPathBuffer = 0xFFFFF80000300300,
    .imageBase = 0xFFFFF80000A00000,
    .alternateImageBase = 0xFFFFF80000B00000,
    .gdt = 0xFFFFF80000020000,
    .kernelCodeSelector = 0x10,  // KGDT64_R0_CODE, ReactOS amd64 ketypes.h
    .kernelDataSelector = 0x18,  // KGDT64_R0_DATA
};

}  // namespace layout
}  // namespace quarnhold::emulator
