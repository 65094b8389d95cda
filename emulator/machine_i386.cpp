// machine_i386.cpp
//
// The i386 machine: Unicorn's 32-bit mode, the kernel's half of the 4 GB
// address space, stdcall for DriverEntry and the three Zw routines (the
// arguments on the stack, the callee pops them, EBX, ESI, EDI and EBP kept,
// the result in EAX), cdecl for DbgPrint, and the i386 records:
// OBJECT_ATTRIBUTES 24 bytes (Length, RootDirectory, ObjectName,
// Attributes, SecurityDescriptor, SecurityQualityOfService), UNICODE_STRING
// 8 (Length, MaximumLength, Buffer), IO_STATUS_BLOCK 8 (Status,
// Information).

#include <array>

#include "emulator/guest_machine.h"
#include "emulator/hex_text.h"

namespace quarnhold::emulator {
namespace {

constexpr RecordLayout I386Records{
    .pointerBytes = 4,
    .unicodeStringBuffer = 4,
    .objectAttributesSize = 24,
    .objectAttributesRootDirectory = 4,
    .objectAttributesObjectName = 8,
    .objectAttributesAttributes = 12,
    .objectAttributesSecurityDescriptor = 16,
    .objectAttributesSecurityQualityOfService = 20,
    .ioStatusInformation = 4,
};

// Callee-saved registers under stdcall, each given a value DriverEntry must
// hand back unchanged.
struct SavedRegister {
    int id;
    const char* name;
    uint32_t value;
};
constexpr std::array<SavedRegister, 4> CalleeSaved{{
    {UC_X86_REG_EBX, "EBX", 0x0B0B0B0B},
    {UC_X86_REG_ESI, "ESI", 0x05151515},
    {UC_X86_REG_EDI, "EDI", 0x0D1D1D1D},
    {UC_X86_REG_EBP, "EBP", 0x0BEBEBEB},
}};

// DriverEntry's two arguments, popped by DriverEntry itself.
constexpr uint32_t DriverEntryArgumentBytes = 8;

class I386 final : public GuestMachine {
public:
    std::string_view Name() const override { return "i386"; }
    uint16_t PeMachine() const override { return 0x014C; }
    uc_mode CpuMode() const override { return UC_MODE_32; }
    const GuestLayout& Layout() const override { return layout::I386; }
    const RecordLayout& Records() const override { return I386Records; }

    std::string_view InstructionPointerName() const override { return "EIP"; }
    uint64_t InstructionPointer(const GuestCpu& cpu) const override { return cpu.Register(UC_X86_REG_EIP); }
    uint64_t StackPointer(const GuestCpu& cpu) const override { return cpu.Register(UC_X86_REG_ESP); }

    void LoadKernelSegments(GuestCpu& cpu) const override
    {
        // A null descriptor, then flat 4 GB ring-0 code (execute/read) and
        // data (read/write), 32-bit, marked accessed so that loading them
        // writes nothing into the read-only table. Unicorn starts with empty
        // segment registers and their 32-bit sizes set by hand: the first
        // segment register a guest loaded (FS, say) would then make the
        // stack 16-bit.
        constexpr std::array<uint64_t, 3> Descriptors{0, 0x00CF9B000000FFFFull, 0x00CF93000000FFFFull};
        LoadGdt(cpu, layout::I386, Descriptors);
    }

    uint64_t EntryStack(uint64_t stackTop) const override
    {
        // The call frame: return address, DriverObject, RegistryPath.
        return stackTop - 4 - DriverEntryArgumentBytes;
    }

    void SetEntryRegisters(GuestCpu& cpu, uint64_t entryStack, uint64_t, uint64_t) const override
    {
        for (int id : {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX}) {
            cpu.SetRegister(id, 0);
        }
        cpu.SetRegister(UC_X86_REG_ESP, entryStack);
        for (const SavedRegister& saved : CalleeSaved) {
            cpu.SetRegister(saved.id, saved.value);
        }
    }

    void WriteEntryFrame(GuestCpu& cpu, uint64_t entryStack, uint64_t returnAddress, uint64_t driverObject,
                         uint64_t registryPath) const override
    {
        cpu.WriteU32(entryStack, static_cast<uint32_t>(returnAddress));
        cpu.WriteU32(entryStack + 4, static_cast<uint32_t>(driverObject));
        cpu.WriteU32(entryStack + 8, static_cast<uint32_t>(registryPath));
    }

    std::optional<std::string> CheckReturn(const GuestCpu& cpu, uint64_t entryStack,
                                           const ValueExplainer&) const override
    {
        // stdcall: DriverEntry pops its own two arguments.
        const uint64_t esp = cpu.Register(UC_X86_REG_ESP);
        const uint64_t expected = entryStack + 4 + DriverEntryArgumentBytes;
        if (esp != expected) {
            return "ESP is " + Hex(esp, 8) + " after DriverEntry returned, not " + Hex(expected, 8) +
                   ": it did not pop its 8 bytes of arguments as stdcall requires";
        }
        for (const SavedRegister& saved : CalleeSaved) {
            if (cpu.Register(saved.id) != saved.value) {
                return std::string(saved.name) + " was not preserved across DriverEntry";
            }
        }
        return std::nullopt;
    }

    uint32_t ReturnedStatus(const GuestCpu& cpu) const override
    {
        return static_cast<uint32_t>(cpu.Register(UC_X86_REG_EAX));
    }

    std::vector<uint8_t> TrapStub(uint16_t stdcallArgumentBytes) const override
    {
        // stdcall's callee pops the arguments (ret imm16); cdecl's caller
        // does (ret).
        if (stdcallArgumentBytes == 0) return {0xC3};
        return {0xC2, static_cast<uint8_t>(stdcallArgumentBytes), static_cast<uint8_t>(stdcallArgumentBytes >> 8)};
    }

    std::optional<uint64_t> ReturnAddress(const GuestCpu& cpu) const override
    {
        return cpu.ReadU32(cpu.Register(UC_X86_REG_ESP));
    }

    std::optional<uint64_t> Argument(const GuestCpu& cpu, size_t index) const override
    {
        return cpu.ReadU32(cpu.Register(UC_X86_REG_ESP) + 4 + 4 * index);
    }

    bool Arguments(const GuestCpu& cpu, std::span<uint64_t> into) const override
    {
        // One read for all the stack slots.
        std::vector<uint8_t> bytes(4 * into.size());
        if (!cpu.Read(cpu.Register(UC_X86_REG_ESP) + 4, bytes)) return false;
        for (size_t i = 0; i < into.size(); ++i) {
            into[i] = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                      static_cast<uint32_t>(bytes[4 * i + 2]) << 16 | static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
        }
        return true;
    }

    std::optional<std::string> CheckCallFrame(const GuestCpu&, std::string_view) const override
    {
        return std::nullopt;
    }

    void EnterRoutine(GuestCpu&, unsigned) const override {}

    void ReturnFromRoutine(GuestCpu& cpu, uint32_t status, unsigned) const override
    {
        cpu.SetRegister(UC_X86_REG_EAX, status);
    }

    std::optional<MarkedValue> Marked(uint64_t) const override { return std::nullopt; }

    std::optional<uint32_t> ModelHandle(uint64_t guest) const override { return static_cast<uint32_t>(guest); }
    uint64_t GuestHandle(uint32_t model) const override { return model; }
};

}  // namespace

const GuestMachine& I386Machine()
{
    static const I386 machine;
    return machine;
}

}  // namespace quarnhold::emulator
