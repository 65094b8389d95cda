// guest_cpu_test.cpp
//
// Guest memory as the kernel's side reads it, and the instruction tally,
// on a bare CPU: strings that meet page ends and unmapped or protected
// pages, records that straddle two mappings, and a budget that runs out;
// a snapshot that puts back all a guest changed of the CPU; the amd64 CPU's
// memory above 4 GB and its registers; the amd64 convention's side of a
// kernel call and its handles; and the hex spelling every message uses for
// guest values.

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "emulator/guest_cpu.h"
#include "emulator/guest_machine.h"
#include "emulator/hex_text.h"

namespace quarnhold::tests {
namespace {

using emulator::GuestCpu;
using emulator::Protection;

constexpr uint32_t Page = 0x1000;
constexpr uint32_t Base = 0x80400000;  // two readable pages, then a protected one, then nothing

// A CPU with Base and Base + Page readable and writable, Base + 2 Page
// mapped without any access, and nothing after it.
struct BareCpu {
    GuestCpu cpu;
    BareCpu()
    {
        cpu.Map(Base, 2 * Page, {true, true, false}, std::vector<uint8_t>(2 * Page, 'x'));
        cpu.Map(Base + 2 * Page, Page, {false, false, false});
    }
    void Put(uint32_t address, const std::string& bytes)
    {
        cpu.Load(address, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
};

struct StringCase {
    std::string name;
    uint32_t address;
    std::string bytes;  // laid at address; the rest of the readable pages hold 'x'
    size_t limit;
    std::optional<std::string> narrow;  // what ReadString gives
};

void PrintTo(const StringCase& c, std::ostream* out)
{
    *out << c.name;
}

const StringCase StringCases[] = {
    {"within_a_page", Base + 0x10, std::string("abc\0", 4), 100, "abc"},
    {"across_the_page_end", Base + Page - 2, std::string("abcd\0", 5), 100, "abcd"},
    {"terminator_last_byte_before_a_protected_page", Base + 2 * Page - 3, std::string("ab\0", 3), 100, "ab"},
    {"runs_into_a_protected_page", Base + 2 * Page - 3, "abc", 100, std::nullopt},
    {"starts_in_a_protected_page", Base + 2 * Page + 4, "", 100, std::nullopt},
    {"starts_where_nothing_is_mapped", Base + 3 * Page, "", 100, std::nullopt},
    {"terminator_just_inside_the_limit", Base, std::string("abcd\0", 5), 5, "abcd"},
    {"terminator_just_beyond_the_limit", Base, std::string("abcd\0", 5), 4, std::nullopt},
    {"empty", Base + 7, std::string("\0", 1), 1, ""},
    {"longer_than_one_read", Base + 0x10, std::string(700, 'a') + '\0', 1000, std::string(700, 'a')},
    {"longer_than_one_read_across_the_page_end", Base + Page - 300, std::string(700, 'b') + '\0', 1000,
     std::string(700, 'b')},
};

class StringReadTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringReadTest, StopsAtTheTerminatorOrFails)
{
    const StringCase& c = GetParam();
    BareCpu bare;
    if (!c.bytes.empty()) bare.Put(c.address, c.bytes);
    EXPECT_EQ(bare.cpu.ReadString(c.address, c.limit), c.narrow);
}

INSTANTIATE_TEST_SUITE_P(Table, StringReadTest, ::testing::ValuesIn(StringCases),
                         [](const auto& info) { return info.param.name; });

// UTF-16 units start where the string does, so at an odd address every
// unit straddles two bytes' worth of alignment, and one straddles the page
// end; a zero byte pair that is not a whole unit is no terminator.
TEST(WideStringReadTest, UnitsCountFromTheStringsStart)
{
    BareCpu bare;
    const uint32_t odd = Base + Page - 3;
    // Units: 'A' (bytes 41 00), then 00 42 ('B' << 8), then 'C', then the terminator.
    bare.Put(odd, std::string("\x41\x00\x00\x42\x43\x00\x00\x00", 8));
    EXPECT_EQ(bare.cpu.ReadWideString(odd, 100), std::u16string(u"A\u4200C"));
    EXPECT_EQ(bare.cpu.ReadWideString(odd, 3), std::nullopt);
    // The terminator itself straddles the page end.
    bare.Put(odd, std::string("\x41\x00\x00\x00\x43\x00\x00\x00", 8));
    EXPECT_EQ(bare.cpu.ReadWideString(odd, 100), std::u16string(u"A"));
    bare.Put(Base + 2 * Page - 2, std::string("\x41\x00", 2));
    EXPECT_EQ(bare.cpu.ReadWideString(Base + 2 * Page - 2, 100), std::nullopt) << "ran into the protected page";
}

// A record may straddle two mappings: the kernel's side may read it only
// when both allow it, and write it only when both allow that, whichever of
// the two lies first and whichever was mapped first.
struct StraddleCase {
    std::string name;
    Protection first, second;  // by address
    bool mapSecondFirst;
};

void PrintTo(const StraddleCase& c, std::ostream* out)
{
    *out << c.name;
}

const StraddleCase StraddleCases[] = {
    {"wider_first", {true, true, false}, {true, false, false}, false},
    {"narrower_first", {true, false, false}, {true, true, false}, false},
    {"wider_first_mapped_last", {true, true, false}, {true, false, false}, true},
    {"narrower_first_mapped_last", {true, false, false}, {true, true, false}, true},
    {"unreadable_first", {false, false, false}, {true, true, false}, false},
    {"unreadable_second", {true, true, false}, {false, false, false}, false},
};

class StraddleTest : public ::testing::TestWithParam<StraddleCase> {};

TEST_P(StraddleTest, TakesTheNarrowerProtection)
{
    const StraddleCase& c = GetParam();
    GuestCpu cpu;
    if (c.mapSecondFirst) cpu.Map(Base + Page, Page, c.second);
    cpu.Map(Base, Page, c.first);
    if (!c.mapSecondFirst) cpu.Map(Base + Page, Page, c.second);
    const uint32_t straddling = Base + Page - 2;
    EXPECT_EQ(cpu.ReadU32(straddling).has_value(), c.first.read && c.second.read);
    EXPECT_EQ(cpu.WriteU32(straddling, 7), c.first.write && c.second.write);
    // Within one mapping, that mapping's own.
    EXPECT_EQ(cpu.ReadU32(Base).has_value(), c.first.read);
    EXPECT_EQ(cpu.WriteU32(Base + Page, 7), c.second.write);
    EXPECT_FALSE(cpu.ReadU32(Base + 2 * Page - 2).has_value()) << "half of it is past every mapping";
    EXPECT_FALSE(cpu.ReadU32(Base - 2).has_value()) << "half of it is before every mapping";
}

INSTANTIATE_TEST_SUITE_P(Table, StraddleTest, ::testing::ValuesIn(StraddleCases),
                         [](const auto& info) { return info.param.name; });

// The tally counts every instruction and stops the CPU at the first one
// past the budget, with the address of the last one kept.
TEST(InstructionTallyTest, CountsAndStopsAtTheBudget)
{
    GuestCpu cpu;
    // nop; nop; nop; jmp $ (EB FE)
    const std::vector<uint8_t> code{0x90, 0x90, 0x90, 0xEB, 0xFE};
    cpu.Map(Base, Page, {true, false, true}, code);
    uint64_t executed = 0;
    uint64_t last = 0;
    emulator::InstructionTally tally{.budget = 1000, .executed = &executed, .lastAddress = &last};
    cpu.Tally(tally);

    emulator::StopReason straight = cpu.Run(Base, Base + 3);
    EXPECT_TRUE(straight.reachedEnd);
    EXPECT_EQ(executed, 3u);
    EXPECT_EQ(last, Base + 2);
    EXPECT_FALSE(tally.exhausted);

    executed = 0;
    cpu.Run(Base, Base + 0x100);
    EXPECT_TRUE(tally.exhausted);
    EXPECT_EQ(last, Base + 3) << "the endless jump";
    EXPECT_GE(executed, 1001u);
    EXPECT_LE(executed, 1002u);
}

// Machine code for the tests below, one instruction at a time.
class Code {
public:
    Code& Bytes(std::initializer_list<uint8_t> bytes)
    {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    Code& Dword(uint32_t value)
    {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// A CPU with code, data, page tables and a stack, for a guest that changes
// what it can of the CPU's state.
struct StatefulCpu {
    static constexpr uint32_t CodeAt = 0x80A00000, DataAt = 0x80B00000, Remapped = DataAt + Page,
                              Elsewhere = 0x80C00000, Tables = 0x80D00000, DumpAt = DataAt + 0x800;
    GuestCpu cpu;
    StatefulCpu()
    {
        cpu.Map(CodeAt, Page, {true, false, true});
        cpu.Map(DataAt, 2 * Page, {true, true, false});
        cpu.Map(Elsewhere, Page, {true, true, false});
        cpu.Map(Tables, 2 * Page, {true, true, false});
        cpu.Map(0x80200000, Page, {true, true, false});
        cpu.SetRegister(UC_X86_REG_ESP, 0x80200800);
        Put(Remapped, {0x11, 0x11, 0x11, 0x11});
        Put(Elsewhere, {0x22, 0x22, 0x22, 0x22});
        // Page tables that map Remapped onto Elsewhere, everything else of
        // its 4 MB as itself.
        std::vector<uint8_t> directory(Page, 0), table(Page, 0);
        auto set = [](std::vector<uint8_t>& page, uint32_t index, uint32_t entry) {
            for (int i = 0; i < 4; ++i) page[4 * index + i] = static_cast<uint8_t>(entry >> (8 * i));
        };
        set(directory, CodeAt >> 22, (Tables + Page) | 3);
        for (uint32_t i = 0; i < 1024; ++i) set(table, i, ((CodeAt & 0xFFC00000) + i * Page) | 3);
        set(table, (Remapped >> 12) & 0x3FF, Elsewhere | 3);
        cpu.Load(Tables, directory);
        cpu.Load(Tables + Page, table);
        // At DataAt: 16 bytes for xmm0, an x87 control word, an MXCSR, a
        // GDT of a null and a flat data descriptor, and its GDTR.
        Put(DataAt, {'x', 'm', 'm', '0', ' ', 'l', 'e', 'f', 't', ' ', 'b', 'e', 'h', 'i', 'n', 'd'});
        Put(DataAt + 0x10, {0x7F, 0x0C});
        Put(DataAt + 0x14, {0x80, 0x7F, 0, 0});
        Put(DataAt + 0x20, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0x93, 0xCF, 0});
        Put(DataAt + 0x30, {15, 0, 0x20, 0x00, 0xB0, 0x80});
    }
    void Put(uint32_t address, std::vector<uint8_t> bytes) { cpu.Load(address, bytes); }
    bool RunCode(const Code& code)
    {
        std::vector<uint8_t> bytes = code.bytes();
        bytes.push_back(0x90);
        cpu.Load(CodeAt, bytes);
        cpu.DropTranslations(CodeAt, Page);
        return cpu.Run(CodeAt, CodeAt + static_cast<uint32_t>(bytes.size()) - 1).reachedEnd;
    }
    // What a guest reads of the CPU's state, and the word it reads at
    // Remapped, as bytes.
    std::vector<uint8_t> Dump()
    {
        Code dump;
        dump.Bytes({0xF3, 0x0F, 0x7F, 0x05}).Dword(DumpAt);             // movdqu [DumpAt], xmm0
        dump.Bytes({0xD9, 0x3D}).Dword(DumpAt + 0x10);                  // fnstcw
        dump.Bytes({0xDD, 0x3D}).Dword(DumpAt + 0x12);                  // fnstsw: the x87 stack's top
        dump.Bytes({0x0F, 0xAE, 0x1D}).Dword(DumpAt + 0x14);            // stmxcsr
        dump.Bytes({0x0F, 0x01, 0x05}).Dword(DumpAt + 0x18);            // sgdt
        dump.Bytes({0x0F, 0x01, 0x0D}).Dword(DumpAt + 0x20);            // sidt
        dump.Bytes({0x8C, 0x25}).Dword(DumpAt + 0x28);                  // mov [m], fs
        dump.Bytes({0x0F, 0x20, 0xC0, 0xA3}).Dword(DumpAt + 0x2C);      // mov eax, cr0; mov [m], eax
        dump.Bytes({0x0F, 0x20, 0xD8, 0xA3}).Dword(DumpAt + 0x30);      // cr3
        dump.Bytes({0x9C, 0x58, 0xA3}).Dword(DumpAt + 0x34);            // pushfd; pop eax: DF among them
        dump.Bytes({0xB9}).Dword(0x174).Bytes({0x0F, 0x32, 0xA3}).Dword(DumpAt + 0x38);  // rdmsr SYSENTER_CS
        dump.Bytes({0x0F, 0x21, 0xC0, 0xA3}).Dword(DumpAt + 0x3C);      // dr0
        dump.Bytes({0xA1}).Dword(Remapped).Bytes({0xA3}).Dword(DumpAt + 0x40);
        if (!RunCode(dump)) return {};
        std::vector<uint8_t> bytes(0x44);
        cpu.Read(DumpAt, bytes);
        return bytes;
    }
};

// Whatever a guest changes of the CPU's state, a snapshot taken before puts
// back: the CPU then reads as a fresh one. Paging turned on and off again
// leaves no translation of its own behind either.
TEST(CpuSnapshotTest, PutsBackEverythingAGuestChanged)
{
    StatefulCpu fresh;
    const std::vector<uint8_t> freshState = fresh.Dump();
    ASSERT_FALSE(freshState.empty());

    StatefulCpu changed;
    const GuestCpu::Snapshot before = changed.cpu.TakeSnapshot();
    Code change;
    change.Bytes({0xF3, 0x0F, 0x6F, 0x05}).Dword(StatefulCpu::DataAt);        // movdqu xmm0, [m]
    change.Bytes({0xD9, 0x2D}).Dword(StatefulCpu::DataAt + 0x10);             // fldcw
    change.Bytes({0xD9, 0xE8});                                               // fld1
    change.Bytes({0x0F, 0xAE, 0x15}).Dword(StatefulCpu::DataAt + 0x14);       // ldmxcsr
    change.Bytes({0x0F, 0x01, 0x15}).Dword(StatefulCpu::DataAt + 0x30);       // lgdt
    change.Bytes({0x0F, 0x01, 0x1D}).Dword(StatefulCpu::DataAt + 0x30);       // lidt
    change.Bytes({0x66, 0xB8, 0x08, 0x00, 0x8E, 0xE0});                       // mov ax, 8; mov fs, ax
    change.Bytes({0xB9}).Dword(0x174).Bytes({0xB8}).Dword(0x10).Bytes({0x31, 0xD2, 0x0F, 0x30});  // wrmsr
    // DR0 only: a breakpoint enabled in DR7 makes Unicorn 2.0.1 crash.
    change.Bytes({0xB8}).Dword(0x12345678).Bytes({0x0F, 0x23, 0xC0});         // mov dr0, eax
    change.Bytes({0xFD});                                                     // std
    change.Bytes({0xB8}).Dword(StatefulCpu::Tables).Bytes({0x0F, 0x22, 0xD8});  // mov cr3, eax
    change.Bytes({0x0F, 0x20, 0xC0, 0x0D}).Dword(0x80000008).Bytes({0x0F, 0x22, 0xC0});  // cr0 |= PG | TS
    change.Bytes({0xA1}).Dword(StatefulCpu::Remapped);                        // a read through the page tables
    ASSERT_TRUE(changed.RunCode(change));
    // The guest's changes took: a CPU not put back reads otherwise.
    EXPECT_EQ(changed.cpu.Register(UC_X86_REG_CR0) & 0x80000008u, 0x80000008u);
    EXPECT_EQ(changed.cpu.Register(UC_X86_REG_FS), 8u);
    EXPECT_NE(changed.cpu.Register(UC_X86_REG_EFLAGS) & 0x400u, 0u) << "DF";

    changed.cpu.Restore(before);
    EXPECT_EQ(changed.Dump(), freshState);
}

TEST(HexTextTest, SpellsValuesPaddedAndUpperCase)
{
    EXPECT_EQ(emulator::Hex(0), "0x0");
    EXPECT_EQ(emulator::Hex(0, 8), "0x00000000");
    EXPECT_EQ(emulator::Hex(0x5E6A, 8), "0x00005E6A");
    EXPECT_EQ(emulator::Hex(0x80A0115E, 8), "0x80A0115E");
    EXPECT_EQ(emulator::Hex(0x2210), "0x2210");
    EXPECT_EQ(emulator::Hex(0x123456789, 8), "0x123456789") << "more digits than asked are kept";
    EXPECT_EQ(emulator::Hex(UINT64_MAX), "0xFFFFFFFFFFFFFFFF");
    // Eight digits for what an i386 guest can name, sixteen above it.
    EXPECT_EQ(emulator::HexAddress(0x1000), "0x00001000");
    EXPECT_EQ(emulator::HexAddress(0xFFFFFFFF), "0xFFFFFFFF");
    EXPECT_EQ(emulator::HexAddress(0x100000000), "0x0000000100000000");
    EXPECT_EQ(emulator::HexAddress(0xFFFFF80000A0115E), "0xFFFFF80000A0115E");
}

// The amd64 kernel's addresses lie above 4 GB, where a value cut to 32 bits
// would land elsewhere: the kernel's side reads and writes them whole.
TEST(GuestMemoryTest, Amd64MemoryAboveFourGigabytes)
{
    constexpr uint64_t High = 0xFFFFF80000300000;
    GuestCpu cpu(UC_MODE_64);
    cpu.Map(High, Page, {true, true, false});
    EXPECT_TRUE(cpu.WriteU64(High + 8, 0x1122334455667788));
    EXPECT_EQ(cpu.ReadU64(High + 8), 0x1122334455667788u);
    EXPECT_EQ(cpu.ReadU32(High + 12), 0x11223344u);
    EXPECT_FALSE(cpu.ReadU64(High + Page - 4).has_value()) << "half of it is past the mapping";
    EXPECT_FALSE(cpu.ReadU64(static_cast<uint32_t>(High + 8)).has_value()) << "the address cut to 32 bits";
    const std::string text = "above 4 GB";
    cpu.Load(High + 0x100, std::span(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1));
    EXPECT_EQ(cpu.ReadString(High + 0x100, 100), text);
    // A read that would wrap past the end of the address space is refused.
    EXPECT_FALSE(cpu.ReadU64(UINT64_MAX - 3).has_value());
    EXPECT_THROW(cpu.Map(UINT64_MAX - Page + 1, 2 * Page, {true, false, false}), std::runtime_error);
}

TEST(GuestRegisterTest, Amd64RegistersKeepAllTheirBits)
{
    GuestCpu cpu(UC_MODE_64);
    cpu.SetRegister(UC_X86_REG_R12, 0xC12C12C12C12C12C);
    EXPECT_EQ(cpu.Register(UC_X86_REG_R12), 0xC12C12C12C12C12Cu);
    std::array<uint8_t, 16> vector{};
    for (size_t i = 0; i < vector.size(); ++i) vector[i] = static_cast<uint8_t>(i * 17 + 1);
    cpu.SetVectorRegister(UC_X86_REG_XMM6, vector);
    EXPECT_EQ(cpu.VectorRegister(UC_X86_REG_XMM6), vector);
    EXPECT_NE(cpu.VectorRegister(UC_X86_REG_XMM7), vector);
}

// A kernel routine's view of an amd64 call: a CPU stopped at the routine's
// entry, the return address on a stack in the kernel's space.
struct Amd64Call {
    static constexpr uint64_t StackTop = 0xFFFFF80000206000;
    const emulator::GuestMachine& machine = emulator::Amd64Machine();
    GuestCpu cpu{UC_MODE_64};
    Amd64Call() { cpu.Map(StackTop - 2 * Page, 2 * Page, {true, true, false}); }

    // The stack as a call leaves it: RSP at the return address, `shift`
    // bytes off the alignment the convention asks for.
    uint64_t Enter(uint64_t shift = 0)
    {
        const uint64_t rsp = StackTop - 0x100 - 8 - shift;
        cpu.SetRegister(UC_X86_REG_RSP, rsp);
        cpu.WriteU64(rsp, 0xFFFFF80000A01234);
        return rsp;
    }
};

// What a routine may leave behind is marked with the call it came from, in
// the home space and in the volatile registers, and nothing else reads as
// marked; the status comes back zero-extended in RAX.
TEST(Amd64Convention, WhatTheKernelLeavesBehindIsMarked)
{
    Amd64Call call;
    const uint64_t rsp = call.Enter();
    call.machine.EnterRoutine(call.cpu, 7);
    for (size_t slot = 0; slot < 4; ++slot) {
        std::optional<emulator::MarkedValue> marked = call.machine.Marked(*call.cpu.ReadU64(rsp + 8 + 8 * slot));
        ASSERT_TRUE(marked) << slot;
        EXPECT_EQ(marked->call, 7u);
        EXPECT_TRUE(marked->homeSpace);
    }
    EXPECT_EQ(call.cpu.ReadU64(rsp), 0xFFFFF80000A01234u) << "the return address is the caller's";
    EXPECT_FALSE(call.machine.Marked(*call.cpu.ReadU64(rsp + 0x28)).has_value()) << "the fifth argument's slot";

    call.machine.ReturnFromRoutine(call.cpu, 0xC0000034, 7);
    EXPECT_EQ(call.cpu.Register(UC_X86_REG_RAX), 0xC0000034u);
    std::optional<emulator::MarkedValue> r10 = call.machine.Marked(call.cpu.Register(UC_X86_REG_R10));
    ASSERT_TRUE(r10);
    EXPECT_FALSE(r10->homeSpace);
    EXPECT_EQ(r10->where, "R10");
    EXPECT_EQ(r10->call, 7u);
    for (uint64_t plain : {uint64_t{0}, uint64_t{0xC0000034}, uint64_t{0xFFFFF80000A01234}, uint64_t{0x484F4D4500000799}}) {
        EXPECT_FALSE(call.machine.Marked(plain).has_value()) << emulator::Hex(plain);
    }
}

// A kernel handle travels to the model as its low 32 bits only when the
// guest's value is their sign extension, as amd64 NT gives kernel handles
// out (KERNEL_HANDLE_FLAG 0xFFFFFFFF80000000); small values are user
// handles; anything else names no handle.
TEST(Amd64Convention, HandlesAreSignExtended)
{
    const emulator::GuestMachine& amd64 = emulator::Amd64Machine();
    struct Case {
        uint64_t guest;
        std::optional<uint32_t> model;
    };
    const Case cases[] = {
        {0xFFFFFFFF80000004, 0x80000004},
        {0x0000000000000004, 0x00000004},
        {0x000000007FFFFFFC, 0x7FFFFFFC},
        {0x0000000080000004, std::nullopt},  // a kernel handle cut to 32 bits and widened again
        {0x0000000100000004, std::nullopt},
        {0xFFFFFFFF00000004, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(amd64.ModelHandle(c.guest), c.model) << emulator::Hex(c.guest, 16);
        if (c.model) EXPECT_EQ(amd64.GuestHandle(*c.model), c.guest) << emulator::Hex(c.guest, 16);
    }
    EXPECT_EQ(emulator::I386Machine().GuestHandle(0x80000004), 0x80000004u);
    EXPECT_EQ(emulator::I386Machine().ModelHandle(0x80000004), 0x80000004u);
}

}  // namespace
}  // namespace quarnhold::tests
