// guest_cpu.cpp

#include "emulator/guest_cpu.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace quarnhold::emulator {

struct GuestCpu::Hook {
    std::function<void(uint64_t)> code;
    std::function<void(Access, uint64_t, uint32_t)> memory;
    uc_hook handle = 0;
};

namespace {

constexpr uint32_t PageSize = 0x1000;
constexpr uint64_t FirstStringChunk = 256;

void Check(uc_err error, const char* what)
{
    if (error != UC_ERR_OK) {
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(error));
    }
}

// Unicorn reserves a 1 GiB translation buffer when the CPU first maps
// memory, and when the address space limit (ulimit -v) leaves no room it
// prints "Could not allocate dynamic translator buffer" and ends the whole
// process. Measured with Unicorn 2.0.1: a run of the driver needs 1 GiB and
// 16.4 MiB more than the process holds before its CPU is made (the buffer,
// Unicorn's tables, the iconv modules the first message loads); 32 MiB of
// headroom covers that.
constexpr uint64_t CpuAddressSpaceBytes = (1ull << 30) + (32ull << 20);

// The process's address space in use now, from /proc/self/statm; nothing
// when it cannot be read.
std::optional<uint64_t> AddressSpaceInUse()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    if (!(statm >> pages)) return std::nullopt;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Refuses, with a reason a person can act on, to open a CPU that the
// address space limit has no room for. Runs before Unicorn is asked for one.
void CheckAddressSpaceRoom()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const std::optional<uint64_t> used = AddressSpaceInUse();
    if (!used) return;
    const uint64_t room = limit.rlim_cur > *used ? limit.rlim_cur - *used : 0;
    if (room >= CpuAddressSpaceBytes) return;
    const uint64_t neededKib = (*used + CpuAddressSpaceBytes) / 1024;
    throw std::runtime_error(
        "the emulated CPU needs about 1.1 GB of address space (Unicorn reserves 1 GiB for "
        "translated code), but the address space limit leaves " +
        std::to_string(room >> 20) + " MiB; raise it to at least " + std::to_string(neededKib) + " KiB (ulimit -v " +
        std::to_string((neededKib + 1023) / 1024 * 1024) + ")");
}

void CodeTrampoline(uc_engine*, uint64_t address, uint32_t, void* user)
{
    static_cast<GuestCpu::Hook*>(user)->code(address);
}

}  // namespace

GuestCpu::GuestCpu(uc_mode mode)
{
    CheckAddressSpaceRoom();
    mode_ = mode;
    Check(uc_open(UC_ARCH_X86, mode, &engine_), mode == UC_MODE_64 ? "cannot open the amd64 CPU" : "cannot open the i386 CPU");

    // Records a refused access so the run can say where it happened; the
    // CPU then stops with the matching error.
    auto hook = std::make_unique<Hook>();
    hook->memory = [this](Access access, uint64_t address, uint32_t size) {
        violation_ = AccessViolation{access, address, size, true};
    };
    auto trampoline = +[](uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t, void* user) -> bool {
        auto* self = static_cast<Hook*>(user);
        Access access = Access::Read;
        if (type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT) access = Access::Write;
        if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT) access = Access::Fetch;
        self->memory(access, address, static_cast<uint32_t>(size));
        (void)uc;
        return false;
    };
    Check(
        uc_hook_add(engine_, &hook->handle, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(trampoline), hook.get(), 1, 0),
        "cannot watch for bad accesses");
    hooks_.push_back(std::move(hook));
}

GuestCpu::~GuestCpu()
{
    if (engine_ != nullptr) {
        uc_close(engine_);
    }
}

void GuestCpu::Map(uint64_t address, uint32_t size, Protection protection, std::span<const uint8_t> bytes)
{
    const uint64_t pages = (uint64_t{size} + PageSize - 1) & ~uint64_t{PageSize - 1};
    if (address > UINT64_MAX - pages) {
        throw std::runtime_error("cannot map guest memory: the range wraps past the end of the address space");
    }
    uint32_t perms = (protection.read ? UC_PROT_READ : 0) | (protection.write ? UC_PROT_WRITE : 0) |
                     (protection.execute ? UC_PROT_EXEC : 0);
    Check(uc_mem_map(engine_, address, pages, perms), "cannot map guest memory");
    const MappedRange range{address, address + pages, protection};
    mapped_.insert(std::upper_bound(mapped_.begin(), mapped_.end(), range,
                                    [](const MappedRange& a, const MappedRange& b) { return a.begin < b.begin; }),
                   range);
    if (!bytes.empty()) {
        Check(uc_mem_write(engine_, address, bytes.data(), std::min<size_t>(bytes.size(), pages)),
              "cannot fill guest memory");
    }
}

void GuestCpu::Load(uint64_t address, std::span<const uint8_t> bytes)
{
    Check(uc_mem_write(engine_, address, bytes.data(), bytes.size()), "cannot load guest memory");
}

void GuestCpu::DropTranslations(uint64_t address, uint32_t size)
{
    Check(uc_ctl_remove_cache(engine_, address, address + size),
          "cannot drop the CPU's translations");
}

std::optional<Protection> GuestCpu::ProtectionAt(uint64_t address, uint64_t size) const
{
    // The accessed range must lie in mapped ranges throughout; the
    // protection is what all of them allow. The ranges are sorted and few,
    // and none reaches the end of the address space.
    if (address > UINT64_MAX - size) return std::nullopt;
    const uint64_t end = address + size;
    Protection result{true, true, true};
    uint64_t at = address;
    for (const MappedRange& range : mapped_) {
        if (at >= end) break;
        if (range.end <= at) continue;
        if (range.begin > at) return std::nullopt;
        result.read = result.read && range.protection.read;
        result.write = result.write && range.protection.write;
        result.execute = result.execute && range.protection.execute;
        at = range.end;
    }
    if (at < end) return std::nullopt;
    return result;
}

bool GuestCpu::Read(uint64_t address, std::span<uint8_t> into) const
{
    if (into.empty()) return true;
    std::optional<Protection> protection = ProtectionAt(address, into.size());
    return protection && protection->read && uc_mem_read(engine_, address, into.data(), into.size()) == UC_ERR_OK;
}

bool GuestCpu::Write(uint64_t address, std::span<const uint8_t> bytes)
{
    if (bytes.empty()) return true;
    std::optional<Protection> protection = ProtectionAt(address, bytes.size());
    return protection && protection->write && uc_mem_write(engine_, address, bytes.data(), bytes.size()) == UC_ERR_OK;
}

std::optional<uint32_t> GuestCpu::ReadU32(uint64_t address) const
{
    uint8_t bytes[4];
    if (!Read(address, bytes)) return std::nullopt;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool GuestCpu::WriteU32(uint64_t address, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return Write(address, bytes);
}

std::optional<uint64_t> GuestCpu::ReadU64(uint64_t address) const
{
    uint8_t bytes[8];
    if (!Read(address, bytes)) return std::nullopt;
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

bool GuestCpu::WriteU64(uint64_t address, uint64_t value)
{
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return Write(address, bytes);
}

// Reads `limit` units of `unitBytes` bytes at most from `address`, a page
// at a time, until a unit of zeros; the units before it, or nothing when
// the memory ends first or holds no terminator within the limit.
std::optional<std::vector<uint8_t>> GuestCpu::ReadTerminated(uint64_t address, size_t limit, size_t unitBytes) const
{
    std::vector<uint8_t> bytes;
    const uint64_t limitBytes = static_cast<uint64_t>(limit) * unitBytes;
    uint64_t at = address;
    while (bytes.size() < limitBytes) {
        // A short chunk first, as most strings are short, and never past
        // the end of this page, so that an unreadable page beyond the
        // terminator is never touched.
        const uint64_t page = PageSize;
        const uint64_t wanted = bytes.empty() ? FirstStringChunk : page;
        const uint64_t chunk =
            std::min({wanted, page - (at & (page - 1)), limitBytes - static_cast<uint64_t>(bytes.size())});
        const size_t start = bytes.size();
        bytes.resize(start + chunk);
        if (!Read(at, std::span(bytes).subspan(start))) return std::nullopt;
        // Units start at `address`, so they may straddle the pages.
        for (size_t unit = start / unitBytes * unitBytes; unit + unitBytes <= bytes.size(); unit += unitBytes) {
            if (std::all_of(bytes.begin() + unit, bytes.begin() + unit + unitBytes, [](uint8_t b) { return b == 0; })) {
                bytes.resize(unit);
                return bytes;
            }
        }
        at += chunk;
    }
    return std::nullopt;
}

std::optional<std::string> GuestCpu::ReadString(uint64_t address, size_t limit) const
{
    std::optional<std::vector<uint8_t>> bytes = ReadTerminated(address, limit, 1);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

std::optional<std::u16string> GuestCpu::ReadWideString(uint64_t address, size_t limit) const
{
    std::optional<std::vector<uint8_t>> bytes = ReadTerminated(address, limit, 2);
    if (!bytes) return std::nullopt;
    std::u16string text(bytes->size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>((*bytes)[2 * i] | (*bytes)[2 * i + 1] << 8);
    }
    return text;
}

uint64_t GuestCpu::Register(int id) const
{
    // Unicorn stores as many bytes as the register has, low byte first:
    // a 32-bit register fills the low half and leaves the rest zero.
    uint64_t value = 0;
    Check(uc_reg_read(engine_, id, &value), "cannot read a register");
    return value;
}

void GuestCpu::SetRegister(int id, uint64_t value)
{
    Check(uc_reg_write(engine_, id, &value), "cannot write a register");
}

std::array<uint8_t, 16> GuestCpu::VectorRegister(int id) const
{
    std::array<uint8_t, 16> value{};
    Check(uc_reg_read(engine_, id, value.data()), "cannot read a vector register");
    return value;
}

void GuestCpu::SetVectorRegister(int id, const std::array<uint8_t, 16>& value)
{
    Check(uc_reg_write(engine_, id, value.data()), "cannot write a vector register");
}

void GuestCpu::SetTableRegister(int id, uint64_t base, uint32_t limit)
{
    uc_x86_mmr table{};
    table.base = base;
    table.limit = limit;
    Check(uc_reg_write(engine_, id, &table), "cannot write a descriptor table's register");
}

GuestCpu::Snapshot GuestCpu::TakeSnapshot()
{
    uc_context* context = nullptr;
    Check(uc_context_alloc(engine_, &context), "cannot make room for the CPU's state");
    Snapshot snapshot;
    snapshot.context_.reset(context);
    Check(uc_context_save(engine_, context), "cannot save the CPU's state");
    return snapshot;
}

void GuestCpu::Restore(const Snapshot& snapshot)
{
    // Unicorn 2.0.1 copies back the CPU's state record (CPUX86State, as far
    // as the fields a reset keeps): xmm0 to xmm7, the x87 stack, control
    // and status words, MXCSR, CR0 to CR4, the segment registers with their
    // hidden parts, GDTR, IDTR, LDTR, TR, the debug registers, the SYSENTER
    // and other MSRs, EFLAGS with DF; and paging a guest turned on leaves no
    // translation of its own behind. tests/guest_cpu_test.cpp checks these.
    Check(uc_context_restore(engine_, snapshot.context_.get()), "cannot restore the CPU's state");
}

void GuestCpu::OnCode(uint64_t begin, uint64_t end, std::function<void(uint64_t)> hook)
{
    auto entry = std::make_unique<Hook>();
    entry->code = std::move(hook);
    Check(uc_hook_add(engine_, &entry->handle, UC_HOOK_CODE, reinterpret_cast<void*>(&CodeTrampoline), entry.get(),
                      begin, end),
          "cannot hook code");
    hooks_.push_back(std::move(entry));
}

void GuestCpu::Tally(InstructionTally& tally)
{
    auto count = +[](uc_engine* uc, uint64_t address, uint32_t, void* user) {
        auto& t = *static_cast<InstructionTally*>(user);
        *t.lastAddress = address;
        if (++*t.executed > t.budget && !t.exhausted) {
            t.exhausted = true;
            uc_emu_stop(uc);
        }
    };
    uc_hook handle = 0;
    Check(uc_hook_add(engine_, &handle, UC_HOOK_CODE, reinterpret_cast<void*>(count), &tally, 1, 0),
          "cannot count instructions");
}

void GuestCpu::OnMemory(uint64_t begin, uint64_t end, std::function<void(Access, uint64_t, uint32_t)> hook)
{
    auto entry = std::make_unique<Hook>();
    entry->memory = std::move(hook);
    auto trampoline = +[](uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        static_cast<Hook*>(user)->memory(type == UC_MEM_WRITE ? Access::Write : Access::Read, address,
                                         static_cast<uint32_t>(size));
    };
    Check(uc_hook_add(engine_, &entry->handle, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                      reinterpret_cast<void*>(trampoline), entry.get(), begin, end),
          "cannot hook memory");
    hooks_.push_back(std::move(entry));
}

StopReason GuestCpu::Run(uint64_t start, uint64_t end)
{
    violation_.reset();
    uc_err error = uc_emu_start(engine_, start, end, 0, 0);
    StopReason reason;
    if (error == UC_ERR_OK) {
        reason.reachedEnd = Register(mode_ == UC_MODE_64 ? UC_X86_REG_RIP : UC_X86_REG_EIP) == end;
        return reason;
    }
    if (violation_) {
        violation_->unmapped =
            error == UC_ERR_READ_UNMAPPED || error == UC_ERR_WRITE_UNMAPPED || error == UC_ERR_FETCH_UNMAPPED;
        reason.violation = violation_;
    } else {
        reason.error = uc_strerror(error);
    }
    return reason;
}

void GuestCpu::Stop()
{
    uc_emu_stop(engine_);
}

}  // namespace quarnhold::emulator
