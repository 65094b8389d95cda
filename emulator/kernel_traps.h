// kernel_traps.h
//
// The four ntoskrnl.exe routines as the emulated image sees them: each import
// is bound to a stub in the trap page that returns as the routine's
// convention says (on i386 ret 44, ret 36, ret 4 for the stdcall routines and
// a plain ret for DbgPrint, whose caller pops; on amd64 a plain ret for all).
// Before the stub runs, the trap reads the caller's arguments and records
// from guest memory, with the image's machine's convention and layouts, asks
// the model, and writes the results back as the kernel would.

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/guest_cpu.h"
#include "emulator/guest_machine.h"
#include "testbed/kernel_model.h"

namespace quarnhold::emulator {

// The routines the trap page provides, by the names the image imports.
inline constexpr std::array<std::string_view, 4> KnownKernelImports{"ZwCreateFile", "ZwWriteFile", "ZwClose",
                                                                    "DbgPrint"};

class KernelTraps {
public:
    // The trap page is at the machine's own address.
    KernelTraps(GuestCpu& cpu, const GuestMachine& machine);

    // Sends the calls of the run about to start to `model`, which must
    // outlive the run.
    void BeginRun(testbed::KernelModel& model);
    // The image whose calls are traced: each call's return address is told
    // to the model relative to `base` when it lies in the image's `size` bytes.
    void CallersIn(uint64_t base, uint32_t size);

    // The trap page's contents: the stubs.
    std::vector<uint8_t> PageBytes() const;
    // The stub's address for an import; nothing for anything but ntoskrnl.exe's four.
    std::optional<uint64_t> Resolve(std::string_view library, std::string_view name) const;

    // Whether `address` is in the trap page.
    bool Contains(uint64_t address) const;
    // Carries out the call whose stub is at `address`, with the stack
    // pointer at the return address. Returns what went wrong when the call
    // cannot be carried out: a frame the convention forbids, a record the
    // kernel cannot write, or caller memory it cannot read, which the model
    // has already noted as a broken rule.
    std::optional<std::string> Dispatch(uint64_t address);

    // "ZwWriteFile, called from 0x80A0115E", or empty before the first call.
    const std::string& LastCall() const { return lastCall_; }
    // The last call's return address; nothing before the first call, or
    // when the stack could not be read.
    std::optional<uint64_t> LastReturnAddress() const { return lastReturnAddress_; }

    // Where `value` came from, when it is one the traps left in the
    // caller's home space or registers during this run: "a value the kernel
    // left in ...". Empty for any other value.
    std::string Explain(uint64_t value) const;

private:
    std::optional<std::string> CreateFile();
    std::optional<std::string> WriteFile();
    std::optional<std::string> Close();
    std::optional<std::string> DebugPrint();

    // A guest pointer-sized value at `address`.
    std::optional<uint64_t> ReadPointer(uint64_t address) const;
    bool WritePointer(uint64_t address, uint64_t value);
    // The model's value for a handle the guest passed, or the fault that
    // stops the run when it is none.
    std::optional<uint32_t> ModelHandle(uint64_t guest, std::string_view routine, std::string& fault) const;
    // Stores Status and Information in the caller's IO_STATUS_BLOCK when the
    // model has an outcome for it; false when the record cannot be written.
    bool StoreIoStatus(uint64_t ioStatusBlock, testbed::NtStatus status, std::optional<uint32_t> information);
    // The fault that stops the run where NT would bug-check, after the model
    // answered a call that carried caller memory the trap could not read.
    std::optional<std::string> BugCheck(std::string_view routine,
                                        const std::optional<testbed::UnreadableRecord>& unreadable,
                                        testbed::NtStatus status) const;

    GuestCpu& cpu_;
    const GuestMachine& machine_;
    testbed::KernelModel* model_ = nullptr;
    uint64_t trapPage_;
    std::string lastCall_;
    std::optional<uint64_t> lastReturnAddress_;
    std::vector<std::string> calls_;  // this run's calls, as LastCall names them
    uint64_t callerBase_ = 0;
    uint32_t callerSize_ = 0;
};

}  // namespace quarnhold::emulator
