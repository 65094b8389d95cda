// guest_cpu.h
//
// Unicorn's i386 CPU behind a small RAII interface: guest memory with page
// protections, the registers the runner uses, and hooks as std::function.

#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quarnhold::emulator {

enum class Access { Read, Write, Fetch };

struct Protection {
    bool read = false;
    bool write = false;
    bool execute = false;
};

// A guest memory access the CPU refused: to an unmapped address, or against
// a page's protection.
struct AccessViolation {
    Access access = Access::Read;
    uint32_t address = 0;
    uint32_t size = 0;
    bool unmapped = true;
};

// Why a run of the CPU ended.
struct StopReason {
    bool reachedEnd = false;                   // EIP arrived at the address given to Run
    std::optional<AccessViolation> violation;  // a refused access stopped it
    std::string error;                         // any other CPU error, e.g. an invalid instruction
};

// What GuestCpu::Tally keeps for a run: the instructions executed and the
// address of the last, where the caller wants them (e.g. in memory another
// process reads), and whether the budget ran out.
struct InstructionTally {
    uint64_t budget = 0;
    uint64_t* executed = nullptr;
    uint32_t* lastAddress = nullptr;
    bool exhausted = false;  // the instruction that overdrew the budget was the last
};

class GuestCpu {
public:
    struct Hook;  // a registered callback; defined where it is called

    // Throws std::runtime_error when Unicorn cannot open an i386 CPU, or when
    // the address space limit leaves no room for one.
    GuestCpu();
    ~GuestCpu();
    GuestCpu(const GuestCpu&) = delete;
    GuestCpu& operator=(const GuestCpu&) = delete;

    // Maps whole pages at `address` and fills them from `bytes`.
    void Map(uint32_t address, uint32_t size, Protection protection, std::span<const uint8_t> bytes = {});

    // Puts `bytes` at `address` whatever the pages' protections, as a loader
    // does; the memory must be mapped. Throws std::runtime_error otherwise.
    void Load(uint32_t address, std::span<const uint8_t> bytes);
    // Forgets the translations of guest code in [address, address + size),
    // after that code has changed.
    void DropTranslations(uint32_t address, uint32_t size);

    // Guest memory as the kernel reaches it: reads and writes that honour the
    // pages' protections. They fail, instead of faulting, on a bad address.
    bool Read(uint32_t address, std::span<uint8_t> into) const;
    bool Write(uint32_t address, std::span<const uint8_t> bytes);
    std::optional<uint32_t> ReadU32(uint32_t address) const;
    bool WriteU32(uint32_t address, uint32_t value);
    // The NUL-terminated string at `address`, at most `limit` units long.
    std::optional<std::string> ReadString(uint32_t address, size_t limit) const;
    std::optional<std::u16string> ReadWideString(uint32_t address, size_t limit) const;

    uint32_t Register(int id) const;
    void SetRegister(int id, uint32_t value);
    // Sets GDTR or IDTR (UC_X86_REG_GDTR, UC_X86_REG_IDTR).
    void SetTableRegister(int id, uint64_t base, uint32_t limit);

    // The whole of the CPU's architectural state as it is now: general,
    // segment, control, debug and model-specific registers, the x87, MMX
    // and SSE state, the descriptor tables' registers. Whatever mode the CPU
    // runs in; guest memory and the CPU's translations are not part of it.
    class Snapshot {
    private:
        friend class GuestCpu;
        struct Free {
            void operator()(uc_context* context) const { uc_context_free(context); }
        };
        std::unique_ptr<uc_context, Free> context_;
    };
    Snapshot TakeSnapshot();
    // Puts the CPU back as `snapshot`, taken of this CPU, found it.
    void Restore(const Snapshot& snapshot);

    // Calls `hook` before each instruction in [begin, end].
    void OnCode(uint32_t begin, uint32_t end, std::function<void(uint32_t address)> hook);
    // Counts every instruction into `tally` and stops the CPU at the first
    // one beyond its budget. Cheaper than OnCode over all code: nothing else
    // runs per instruction. `tally` must outlive the CPU's runs.
    void Tally(InstructionTally& tally);
    // Calls `hook` for each guest read or write in [begin, end].
    void OnMemory(uint32_t begin, uint32_t end, std::function<void(Access, uint32_t address, uint32_t size)> hook);

    // Runs from `start` until EIP reaches `end`, Stop is called, or the CPU
    // refuses something.
    StopReason Run(uint32_t start, uint32_t end);
    void Stop();

private:
    // A range mapped by Map, with the protection it was given.
    struct MappedRange {
        uint32_t begin = 0;
        uint64_t end = 0;  // one past the last byte
        Protection protection;
    };

    std::optional<Protection> ProtectionAt(uint32_t address, uint32_t size) const;
    std::optional<std::vector<uint8_t>> ReadTerminated(uint32_t address, size_t limit, size_t unitBytes) const;

    uc_engine* engine_ = nullptr;
    // Guest memory's layout as Map made it, kept here so that an access
    // from the kernel's side needs no call into the CPU to be checked.
    std::vector<MappedRange> mapped_;
    std::vector<std::unique_ptr<Hook>> hooks_;
    std::optional<AccessViolation> violation_;
};

}  // namespace quarnhold::emulator
