// kernel_traps.h
//
// The four ntoskrnl.exe routines as the emulated image sees them: each import
// is bound to a stub in the trap page that returns with the routine's own
// convention (ret 44, ret 36, ret 4 for the stdcall routines; a plain ret for
// DbgPrint, whose caller pops). Before the stub runs, the trap reads the
// caller's arguments and records from guest memory, asks the model, and
// writes the results back as the kernel would.

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/guest_cpu.h"
#include "testbed/kernel_model.h"

namespace quarnhold::emulator {

// The routines the trap page provides, by the names the image imports.
inline constexpr std::array<std::string_view, 4> KnownKernelImports{"ZwCreateFile", "ZwWriteFile", "ZwClose",
                                                                    "DbgPrint"};

class KernelTraps {
public:
    KernelTraps(GuestCpu& cpu, uint32_t trapPage);

    // Sends the calls of the run about to start to `model`, which must
    // outlive the run.
    void BeginRun(testbed::KernelModel& model);
    // The image whose calls are traced: each call's return address is told
    // to the model relative to `base` when it lies in the image's `size` bytes.
    void CallersIn(uint32_t base, uint32_t size);

    // The trap page's contents: the stubs.
    std::vector<uint8_t> PageBytes() const;
    // The stub's address for an import; nothing for anything but ntoskrnl.exe's four.
    std::optional<uint32_t> Resolve(std::string_view library, std::string_view name) const;

    // Whether `address` is in the trap page.
    bool Contains(uint32_t address) const;
    // Carries out the call whose stub is at `address`, with ESP at the
    // return address. Returns what went wrong when the call cannot be
    // carried out: a record the kernel cannot write, or caller memory it
    // cannot read, which the model has already noted as a broken rule.
    std::optional<std::string> Dispatch(uint32_t address);

    // "ZwWriteFile, called from 0x80A0115E", or empty before the first call.
    const std::string& LastCall() const { return lastCall_; }
    // The last call's return address; nothing before the first call, or
    // when the stack could not be read.
    std::optional<uint32_t> LastReturnAddress() const { return lastReturnAddress_; }

private:
    std::optional<std::string> CreateFile(uint32_t arguments);
    std::optional<std::string> WriteFile(uint32_t arguments);
    std::optional<std::string> Close(uint32_t arguments);
    std::optional<std::string> DebugPrint(uint32_t arguments);

    GuestCpu& cpu_;
    testbed::KernelModel* model_ = nullptr;
    uint32_t trapPage_;
    std::string lastCall_;
    std::optional<uint32_t> lastReturnAddress_;
    uint32_t callerBase_ = 0;
    uint32_t callerSize_ = 0;
};

}  // namespace quarnhold::emulator
