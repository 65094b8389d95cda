// guest_cpu_test.cpp
//
// Guest memory as the kernel's side reads it, and the instruction tally,
// on a bare CPU: strings that meet page ends and unmapped or protected
// pages, records that straddle two mappings, and a budget that runs out;
// and the hex spelling every message uses for guest values.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "emulator/guest_cpu.h"
#include "emulator/hex_text.h"

namespace quarnhold::tests {
namespace {

using emulator::GuestCpu;

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
// when both allow it, and write it only when both allow that.
TEST(GuestMemoryTest, RecordsAcrossMappingsTakeTheNarrowerProtection)
{
    GuestCpu cpu;
    cpu.Map(Base, Page, {true, true, false});
    cpu.Map(Base + Page, Page, {true, false, false});
    const uint32_t straddling = Base + Page - 4;
    EXPECT_TRUE(cpu.ReadU32(straddling).has_value());
    EXPECT_TRUE(cpu.WriteU32(straddling - 4, 7));
    EXPECT_FALSE(cpu.WriteU32(straddling + 2, 7));
    EXPECT_FALSE(cpu.ReadU32(Base + 2 * Page - 2).has_value()) << "half of it is past every mapping";
    EXPECT_FALSE(cpu.ReadU32(Base - 2).has_value()) << "half of it is before every mapping";
}

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

TEST(HexTextTest, SpellsValuesPaddedAndUpperCase)
{
    EXPECT_EQ(emulator::Hex(0), "0x0");
    EXPECT_EQ(emulator::Hex(0, 8), "0x00000000");
    EXPECT_EQ(emulator::Hex(0x5E6A, 8), "0x00005E6A");
    EXPECT_EQ(emulator::Hex(0x80A0115E, 8), "0x80A0115E");
    EXPECT_EQ(emulator::Hex(0x2210), "0x2210");
    EXPECT_EQ(emulator::Hex(0x123456789, 8), "0x123456789") << "more digits than asked are kept";
    EXPECT_EQ(emulator::Hex(UINT64_MAX), "0xFFFFFFFFFFFFFFFF");
}

}  // namespace
}  // namespace quarnhold::tests
