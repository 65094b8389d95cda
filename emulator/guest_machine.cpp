// guest_machine.cpp

#include "emulator/guest_machine.h"

#include <cstring>
#include <vector>

namespace quarnhold::emulator {

void LoadGdt(GuestCpu& cpu, const GuestLayout& layout, std::span<const uint64_t> descriptors)
{
    std::vector<uint8_t> bytes(descriptors.size_bytes());
    std::memcpy(bytes.data(), descriptors.data(), bytes.size());
    cpu.Map(layout.gdt, 0x1000, {true, false, false}, bytes);
    cpu.SetTableRegister(UC_X86_REG_GDTR, layout.gdt, static_cast<uint32_t>(bytes.size() - 1));
    for (int id : {UC_X86_REG_SS, UC_X86_REG_DS, UC_X86_REG_ES}) {
        cpu.SetRegister(id, layout.kernelDataSelector);
    }
    cpu.SetRegister(UC_X86_REG_CS, layout.kernelCodeSelector);
}

const GuestMachine* MachineFor(uint16_t peMachine)
{
    for (const GuestMachine* machine : {&I386Machine(), &Amd64Machine()}) {
        if (machine->PeMachine() == peMachine) return machine;
    }
    return nullptr;
}

}  // namespace quarnhold::emulator
