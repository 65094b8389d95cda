// guest_machine.cpp

#include "emulator/guest_machine.h"

namespace quarnhold::emulator {

const GuestMachine* MachineFor(uint16_t peMachine)
{
    for (const GuestMachine* machine : {&I386Machine(), &Amd64Machine()}) {
        if (machine->PeMachine() == peMachine) return machine;
    }
    return nullptr;
}

}  // namespace quarnhold::emulator
