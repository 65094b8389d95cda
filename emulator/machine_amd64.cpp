// machine_amd64.cpp
//
// The amd64 machine: Unicorn's 64-bit mode, the kernel's system space above
// 4 GB, and the one amd64 calling convention for every routine: the first
// four arguments in RCX, RDX, R8 and R9, the rest on the stack above the 32
// bytes of home space the caller reserves for the callee, the stack 16-byte
// aligned at every call, the caller popping, RBX, RBP, RDI, RSI, R12 to R15
// and XMM6 to XMM15 kept, the result in RAX. The records have 8-byte
// pointers: OBJECT_ATTRIBUTES 48 bytes (Length, RootDirectory at 8,
// ObjectName at 16, Attributes at 24, SecurityDescriptor at 32,
// SecurityQualityOfService at 40), UNICODE_STRING 16 (Buffer at 8),
// IO_STATUS_BLOCK 16 (Information at 8).

#include <algorithm>
#include <array>

#include "emulator/guest_machine.h"
#include "emulator/hex_text.h"

namespace quarnhold::emulator {
namespace {

constexpr RecordLayout Amd64Records{
    .pointerBytes = 8,
    .unicodeStringBuffer = 8,
    .objectAttributesSize = 48,
    .objectAttributesRootDirectory = 8,
    .objectAttributesObjectName = 16,
    .objectAttributesAttributes = 24,
    .objectAttributesSecurityDescriptor = 32,
    .objectAttributesSecurityQualityOfService = 40,
    .ioStatusInformation = 8,
};

struct NamedRegister {
    int id;
    const char* name;
};

constexpr std::array<NamedRegister, 4> ArgumentRegisters{{
    {UC_X86_REG_RCX, "RCX"},
    {UC_X86_REG_RDX, "RDX"},
    {UC_X86_REG_R8, "R8"},
    {UC_X86_REG_R9, "R9"},
}};

// What a routine need not keep besides RAX: the argument registers, R10 and
// R11.
constexpr std::array<NamedRegister, 6> Volatile{{
    {UC_X86_REG_RCX, "RCX"},
    {UC_X86_REG_RDX, "RDX"},
    {UC_X86_REG_R8, "R8"},
    {UC_X86_REG_R9, "R9"},
    {UC_X86_REG_R10, "R10"},
    {UC_X86_REG_R11, "R11"},
}};

// Callee-saved registers, each given a value DriverEntry must hand back
// unchanged.
struct SavedRegister {
    int id;
    const char* name;
    uint64_t value;
};
constexpr std::array<SavedRegister, 8> CalleeSaved{{
    {UC_X86_REG_RBX, "RBX", 0x0B0B0B0B0B0B0B0B},
    {UC_X86_REG_RBP, "RBP", 0x0BEBEBEBEBEBEBEB},
    {UC_X86_REG_RDI, "RDI", 0x0D1D1D1D1D1D1D1D},
    {UC_X86_REG_RSI, "RSI", 0x0515151515151515},
    {UC_X86_REG_R12, "R12", 0x0C12C12C12C12C12},
    {UC_X86_REG_R13, "R13", 0x0C13C13C13C13C13},
    {UC_X86_REG_R14, "R14", 0x0C14C14C14C14C14},
    {UC_X86_REG_R15, "R15", 0x0C15C15C15C15C15},
}};

constexpr std::array<NamedRegister, 10> CalleeSavedVectors{{
    {UC_X86_REG_XMM6, "XMM6"},
    {UC_X86_REG_XMM7, "XMM7"},
    {UC_X86_REG_XMM8, "XMM8"},
    {UC_X86_REG_XMM9, "XMM9"},
    {UC_X86_REG_XMM10, "XMM10"},
    {UC_X86_REG_XMM11, "XMM11"},
    {UC_X86_REG_XMM12, "XMM12"},
    {UC_X86_REG_XMM13, "XMM13"},
    {UC_X86_REG_XMM14, "XMM14"},
    {UC_X86_REG_XMM15, "XMM15"},
}};

// XMM6's value is 0x66 in every byte, XMM7's 0x77, and so on.
std::array<uint8_t, 16> VectorValue(size_t index)
{
    std::array<uint8_t, 16> value{};
    value.fill(static_cast<uint8_t>((6 + index) * 0x11));
    return value;
}

// The bytes between the return address and the caller's stack arguments:
// four slots the callee may use as it likes.
constexpr uint64_t HomeSpaceBytes = 32;

// What the traps leave behind, so that a driver that relies on it can be
// told: the tag in the high half ("HOME" for the home space, "VOLT" for a
// volatile register), the call in bits 8 to 31, the slot or register in
// the low byte. Such a value is no canonical address, so the driver faults
// at once when it follows one as a pointer.
constexpr uint64_t HomeSpaceTag = 0x484F4D45;
constexpr uint64_t VolatileTag = 0x564F4C54;

uint64_t MarkedWord(uint64_t tag, unsigned call, size_t index)
{
    return tag << 32 | (uint64_t{call} & 0xFFFFFF) << 8 | index;
}

// A kernel handle on amd64 has the upper 33 bits set (KERNEL_HANDLE_FLAG is
// 0xFFFFFFFF80000000; ObpIsKernelHandle, ReactOS ob/obhandle.c).
constexpr uint64_t KernelHandleFlag = 0xFFFFFFFF80000000;

class Amd64 final : public GuestMachine {
public:
    std::string_view Name() const override { return "amd64"; }
    uint16_t PeMachine() const override { return 0x8664; }
    uc_mode CpuMode() const override { return UC_MODE_64; }
    const GuestLayout& Layout() const override { return layout::Amd64; }
    const RecordLayout& Records() const override { return Amd64Records; }

    std::string_view InstructionPointerName() const override { return "RIP"; }
    uint64_t InstructionPointer(const GuestCpu& cpu) const override { return cpu.Register(UC_X86_REG_RIP); }
    uint64_t StackPointer(const GuestCpu& cpu) const override { return cpu.Register(UC_X86_REG_RSP); }

    void LoadKernelSegments(GuestCpu& cpu) const override
    {
        // A null descriptor, an unused one, then ring-0 64-bit code (L set,
        // execute/read) and data (read/write) at KGDT64_R0_CODE and
        // KGDT64_R0_DATA, marked accessed so that loading them writes
        // nothing into the read-only table.
        constexpr std::array<uint64_t, 4> Descriptors{0, 0, 0x00209B0000000000ull, 0x00CF93000000FFFFull};
        LoadGdt(cpu, layout::Amd64, Descriptors);
    }

    uint64_t EntryStack(uint64_t stackTop) const override
    {
        // The loader's frame at the call: DriverEntry's home space on a
        // 16-byte boundary, then the return address the call pushes.
        return (stackTop & ~uint64_t{15}) - HomeSpaceBytes - 8;
    }

    void SetEntryRegisters(GuestCpu& cpu, uint64_t entryStack, uint64_t driverObject,
                           uint64_t registryPath) const override
    {
        for (int id : {UC_X86_REG_RAX, UC_X86_REG_R8, UC_X86_REG_R9, UC_X86_REG_R10, UC_X86_REG_R11}) {
            cpu.SetRegister(id, 0);
        }
        cpu.SetRegister(UC_X86_REG_RCX, driverObject);
        cpu.SetRegister(UC_X86_REG_RDX, registryPath);
        cpu.SetRegister(UC_X86_REG_RSP, entryStack);
        for (const SavedRegister& saved : CalleeSaved) {
            cpu.SetRegister(saved.id, saved.value);
        }
        for (size_t i = 0; i < CalleeSavedVectors.size(); ++i) {
            cpu.SetVectorRegister(CalleeSavedVectors[i].id, VectorValue(i));
        }
    }

    void WriteEntryFrame(GuestCpu& cpu, uint64_t entryStack, uint64_t returnAddress, uint64_t, uint64_t) const override
    {
        cpu.WriteU64(entryStack, returnAddress);
    }

    std::optional<std::string> CheckReturn(const GuestCpu& cpu, uint64_t entryStack,
                                           const ValueExplainer& explain) const override
    {
        // The caller pops the arguments; DriverEntry's ret pops only the
        // return address.
        const uint64_t rsp = cpu.Register(UC_X86_REG_RSP);
        if (rsp != entryStack + 8) {
            return "RSP is " + HexAddress(rsp) + " after DriverEntry returned, not " + HexAddress(entryStack + 8) +
                   ": its pushes and pops do not balance";
        }
        for (const SavedRegister& saved : CalleeSaved) {
            const uint64_t value = cpu.Register(saved.id);
            if (value != saved.value) {
                const std::string why = explain(value);
                return std::string(saved.name) + " was not preserved across DriverEntry" +
                       (why.empty() ? "" : ": it holds " + why);
            }
        }
        for (size_t i = 0; i < CalleeSavedVectors.size(); ++i) {
            if (cpu.VectorRegister(CalleeSavedVectors[i].id) != VectorValue(i)) {
                return std::string(CalleeSavedVectors[i].name) + " was not preserved across DriverEntry";
            }
        }
        return std::nullopt;
    }

    uint32_t ReturnedStatus(const GuestCpu& cpu) const override
    {
        return static_cast<uint32_t>(cpu.Register(UC_X86_REG_RAX));
    }

    std::vector<uint8_t> TrapStub(uint16_t) const override { return {0xC3}; }

    std::optional<uint64_t> ReturnAddress(const GuestCpu& cpu) const override
    {
        return cpu.ReadU64(cpu.Register(UC_X86_REG_RSP));
    }

    std::optional<uint64_t> Argument(const GuestCpu& cpu, size_t index) const override
    {
        if (index < ArgumentRegisters.size()) return cpu.Register(ArgumentRegisters[index].id);
        // Above the return address, past the four slots of home space.
        return cpu.ReadU64(cpu.Register(UC_X86_REG_RSP) + 8 + 8 * index);
    }

    bool Arguments(const GuestCpu& cpu, std::span<uint64_t> into) const override
    {
        const size_t inRegisters = std::min(into.size(), ArgumentRegisters.size());
        for (size_t i = 0; i < inRegisters; ++i) into[i] = cpu.Register(ArgumentRegisters[i].id);
        if (into.size() == inRegisters) return true;
        // One read for all the stack slots.
        std::vector<uint8_t> bytes(8 * (into.size() - inRegisters));
        if (!cpu.Read(cpu.Register(UC_X86_REG_RSP) + 8 + 8 * inRegisters, bytes)) return false;
        for (size_t i = inRegisters; i < into.size(); ++i) {
            uint64_t value = 0;
            for (size_t b = 8; b-- > 0;) value = value << 8 | bytes[8 * (i - inRegisters) + b];
            into[i] = value;
        }
        return true;
    }

    std::optional<std::string> CheckCallFrame(const GuestCpu& cpu, std::string_view routine) const override
    {
        const uint64_t atCall = cpu.Register(UC_X86_REG_RSP) + 8;
        if (atCall % 16 == 0) return std::nullopt;
        return std::string(routine) + " was called with RSP at " + HexAddress(atCall) +
               ", not on the 16-byte boundary the amd64 convention requires at every call";
    }

    void EnterRoutine(GuestCpu& cpu, unsigned call) const override
    {
        // NT's own routines spill their register arguments, or save
        // registers, in the home space; these leave marked values there, so
        // that a caller that kept anything of its own in those 32 bytes is
        // told.
        const uint64_t home = cpu.Register(UC_X86_REG_RSP) + 8;
        for (size_t slot = 0; slot < HomeSpaceBytes / 8; ++slot) {
            cpu.WriteU64(home + 8 * slot, MarkedWord(HomeSpaceTag, call, slot));
        }
    }

    void ReturnFromRoutine(GuestCpu& cpu, uint32_t status, unsigned call) const override
    {
        // An NTSTATUS is 32 bits, which a routine leaves zero-extended in
        // RAX, as a 32-bit move does.
        cpu.SetRegister(UC_X86_REG_RAX, status);
        for (size_t i = 0; i < Volatile.size(); ++i) {
            cpu.SetRegister(Volatile[i].id, MarkedWord(VolatileTag, call, i));
        }
    }

    std::optional<MarkedValue> Marked(uint64_t value) const override
    {
        const uint64_t tag = value >> 32;
        const unsigned call = static_cast<unsigned>(value >> 8 & 0xFFFFFF);
        const size_t index = value & 0xFF;
        if (tag == HomeSpaceTag && index < HomeSpaceBytes / 8) {
            return MarkedValue{call, true, "the home space"};
        }
        if (tag == VolatileTag && index < Volatile.size()) {
            return MarkedValue{call, false, Volatile[index].name};
        }
        return std::nullopt;
    }

    std::optional<uint32_t> ModelHandle(uint64_t guest) const override
    {
        // A kernel handle, or a small value that names a slot in the
        // process's own table; anything else (a kernel handle cut to 32
        // bits and widened without its sign, for one) no kernel gave out.
        if ((guest & KernelHandleFlag) == KernelHandleFlag || guest < 0x80000000) {
            return static_cast<uint32_t>(guest);
        }
        return std::nullopt;
    }

    uint64_t GuestHandle(uint32_t model) const override
    {
        return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(model)));
    }
};

}  // namespace

const GuestMachine& Amd64Machine()
{
    static const Amd64 machine;
    return machine;
}

}  // namespace quarnhold::emulator
