// guest_machine.h
//
// What differs between running an i386 and an amd64 driver image: the CPU's
// mode and registers, where things are mapped, how DriverEntry is called and
// what it must hand back, how a kernel routine finds its arguments and
// returns, how handles travel, and the sizes and offsets of the records the
// kernel reads. machine_i386.cpp and machine_amd64.cpp hold the two; the
// runner and the kernel traps ask the image's machine and know neither.

#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/guest_cpu.h"
#include "emulator/guest_layout.h"

namespace quarnhold::emulator {

// The kernel's records as a machine lays them out, in bytes. UNICODE_STRING
// has Length at 0 and MaximumLength at 2; IO_STATUS_BLOCK has Status at 0;
// OBJECT_ATTRIBUTES has Length at 0.
struct RecordLayout {
    uint32_t pointerBytes = 0;  // also ULONG_PTR's, HANDLE's and a stack slot's
    uint32_t unicodeStringBuffer = 0;
    uint32_t objectAttributesSize = 0;
    uint32_t objectAttributesRootDirectory = 0;
    uint32_t objectAttributesObjectName = 0;
    uint32_t objectAttributesAttributes = 0;
    uint32_t objectAttributesSecurityDescriptor = 0;
    uint32_t objectAttributesSecurityQualityOfService = 0;
    uint32_t ioStatusInformation = 0;  // Information, pointer-sized
};

// Turns a value found where the driver's own data should be into the words
// that say where it came from, or "" when it is nothing the kernel left.
using ValueExplainer = std::function<std::string(uint64_t value)>;

// A value the kernel traps left behind in guest memory or a register on
// purpose, so that a driver that relies on it can be told: which kernel call
// of the run (from 1) and where.
struct MarkedValue {
    unsigned call = 0;
    bool homeSpace = false;  // in the caller's home space; else in a register
    std::string where;       // "the home space", or the register: "RCX"
};

class GuestMachine {
public:
    virtual ~GuestMachine() = default;

    virtual std::string_view Name() const = 0;  // "i386", "amd64"
    virtual uint16_t PeMachine() const = 0;     // IMAGE_FILE_MACHINE_*
    virtual uc_mode CpuMode() const = 0;
    virtual const GuestLayout& Layout() const = 0;
    virtual const RecordLayout& Records() const = 0;

    virtual std::string_view InstructionPointerName() const = 0;  // "EIP", "RIP"
    virtual uint64_t InstructionPointer(const GuestCpu& cpu) const = 0;
    virtual uint64_t StackPointer(const GuestCpu& cpu) const = 0;

    // The kernel's segments: maps the GDT at the layout's address and loads
    // CS, DS, ES and SS with the kernel's selectors, as they are when NT
    // calls DriverEntry. Once, when the image is loaded.
    virtual void LoadKernelSegments(GuestCpu& cpu) const = 0;

    // DriverEntry's call, as the loader makes it.
    //
    // The stack pointer at DriverEntry's first instruction, with its call
    // frame below `stackTop`.
    virtual uint64_t EntryStack(uint64_t stackTop) const = 0;
    // Sets every register DriverEntry starts with: the stack pointer, the
    // arguments a register carries, the callee-saved ones to values it must
    // hand back. Once, before the CPU's state is kept for every run.
    virtual void SetEntryRegisters(GuestCpu& cpu, uint64_t entryStack, uint64_t driverObject,
                                   uint64_t registryPath) const = 0;
    // Writes the call's frame on the stack: the return address, and the
    // arguments the stack carries. Before every run.
    virtual void WriteEntryFrame(GuestCpu& cpu, uint64_t entryStack, uint64_t returnAddress, uint64_t driverObject,
                                 uint64_t registryPath) const = 0;
    // The first thing DriverEntry did not hand back as the convention
    // requires (the stack pointer, then each callee-saved register), or
    // nothing. `entryStack` is what EntryStack gave.
    virtual std::optional<std::string> CheckReturn(const GuestCpu& cpu, uint64_t entryStack,
                                                   const ValueExplainer& explain) const = 0;
    // DriverEntry's NTSTATUS, from the result register.
    virtual uint32_t ReturnedStatus(const GuestCpu& cpu) const = 0;

    // A kernel routine's side of a call, with the stack pointer at the
    // return address.
    //
    // The bytes of a routine's stub in the trap page: its return, popping
    // `stdcallArgumentBytes` where the routine's convention says it does.
    virtual std::vector<uint8_t> TrapStub(uint16_t stdcallArgumentBytes) const = 0;
    virtual std::optional<uint64_t> ReturnAddress(const GuestCpu& cpu) const = 0;
    // The argument at `index` (from 0), pointer-wide; a ULONG argument is
    // its low 32 bits. Nothing when its stack slot cannot be read.
    virtual std::optional<uint64_t> Argument(const GuestCpu& cpu, size_t index) const = 0;
    // The first `into.size()` arguments at once; false when any stack slot
    // cannot be read.
    virtual bool Arguments(const GuestCpu& cpu, std::span<uint64_t> into) const = 0;
    // What is wrong with the frame `routine` was called with, or nothing.
    // Runs first at every call.
    virtual std::optional<std::string> CheckCallFrame(const GuestCpu& cpu, std::string_view routine) const = 0;
    // What a routine may do to its caller's memory on entry, whatever it is
    // asked: runs after CheckCallFrame, before the call is carried out.
    // `call` numbers the run's kernel calls from 1.
    virtual void EnterRoutine(GuestCpu& cpu, unsigned call) const = 0;
    // Puts `status` in the result register, and leaves the registers a
    // routine need not keep as a routine may leave them.
    virtual void ReturnFromRoutine(GuestCpu& cpu, uint32_t status, unsigned call) const = 0;
    // Which call left `value` behind, when EnterRoutine or ReturnFromRoutine
    // put it there; nothing for any other value.
    virtual std::optional<MarkedValue> Marked(uint64_t value) const = 0;

    // Handles travel between the guest and the model as the model's 32-bit
    // values: an i386 handle is one; an amd64 kernel handle is its sign
    // extension. Nothing when `guest` is no value the kernel could have
    // given out or taken back for a 32-bit one.
    virtual std::optional<uint32_t> ModelHandle(uint64_t guest) const = 0;
    virtual uint64_t GuestHandle(uint32_t model) const = 0;
};

// Maps `descriptors` as the kernel's GDT at `layout.gdt`, points GDTR at
// them, and loads the kernel's code and data selectors. Used by each
// machine's LoadKernelSegments.
void LoadGdt(GuestCpu& cpu, const GuestLayout& layout, std::span<const uint64_t> descriptors);

const GuestMachine& I386Machine();
const GuestMachine& Amd64Machine();

// The machine an image's header names (IMAGE_FILE_MACHINE_I386 or _AMD64),
// or nothing for any other.
const GuestMachine* MachineFor(uint16_t peMachine);

}  // namespace quarnhold::emulator
