// debug_print_format_test.cpp
//
// DbgPrint's formatting against what the kernel's _vsnprintf produces, one
// row per conversion, flag or size prefix that matters.

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "testbed/debug_print_format.h"

namespace quarnhold::testbed {
namespace {

struct NullPointer {};
struct Counted {
    std::u16string text;
};
using Argument = std::variant<uint32_t, uint64_t, std::string, std::u16string, Counted, NullPointer>;

// Arguments as i386 passes them: strings are pointers, here indices into the
// list offset by a base so that none is null.
class ListedArguments final : public FormatArguments {
public:
    explicit ListedArguments(std::vector<Argument> list) : list_(std::move(list)) {}

    uint32_t NextInt32() override { return std::get<uint32_t>(list_.at(next_++)); }
    uint64_t NextInt64() override { return std::get<uint64_t>(list_.at(next_++)); }
    uint64_t NextPointer() override
    {
        const Argument& argument = list_.at(next_++);
        if (std::holds_alternative<NullPointer>(argument)) return 0;
        if (const uint32_t* value = std::get_if<uint32_t>(&argument)) return *value;
        return Base + next_ - 1;
    }
    int PointerDigits() const override { return 8; }
    std::optional<std::string> ReadString(uint64_t address) override { return std::get<std::string>(At(address)); }
    std::optional<std::u16string> ReadWideString(uint64_t address) override
    {
        return std::get<std::u16string>(At(address));
    }
    std::optional<std::u16string> ReadCountedWideString(uint64_t address) override
    {
        return std::get<Counted>(At(address)).text;
    }

private:
    static constexpr uint64_t Base = 0x10000;
    const Argument& At(uint64_t address) const { return list_.at(address - Base); }

    std::vector<Argument> list_;
    size_t next_ = 0;
};

struct FormatCase {
    std::string format;
    std::vector<Argument> arguments;
    std::string expected;
    size_t problems = 0;
};

void PrintTo(const FormatCase& c, std::ostream* out) { *out << '"' << c.format << '"'; }

const FormatCase Cases[] = {
    // The driver's own two conversions.
    {"%08X", {0xC0000035u}, "C0000035"},
    {"%08X", {0x103u}, "00000103"},
    {"%ws ", {std::u16string(u"\\??\\c:\\Quarnhold")}, "\\??\\c:\\Quarnhold "},
    // Wide text becomes GBK, '?' where GBK has no character.
    {"%ws", {std::u16string(u"\u4E2D\u6587")}, "\xD6\xD0\xCE\xC4"},
    {"%ws", {std::u16string(u"a\u0E01b")}, "a?b"},
    // A character GBK has and GB2312 has not.
    {"%ws", {std::u16string(u"\u9019")}, "\xDF\x40"},
    {"%S|%ls|%wZ", {std::u16string(u"x"), std::u16string(u"y"), Counted{u"z"}}, "x|y|z"},
    {"%ws|%s", {NullPointer{}, NullPointer{}}, "(null)|(null)"},
    // Integers.
    {"%d %i %u", {static_cast<uint32_t>(-5), 7u, 0xFFFFFFFFu}, "-5 7 4294967295"},
    {"%x %X %#x %#X %#x", {255u, 255u, 255u, 255u, 0u}, "ff FF 0xff 0XFF 0"},
    {"%o %#o", {8u, 8u}, "10 010"},
    {"%+d % d %+d", {5u, 5u, static_cast<uint32_t>(-5)}, "+5  5 -5"},
    {"[%5d][%-5d][%05d][%05d]", {42u, 42u, 42u, static_cast<uint32_t>(-42)}, "[   42][42   ][00042][-0042]"},
    {"[%.3d][%.0d][%8.3x]", {7u, 0u, 0xAu}, "[007][][     00a]"},
    {"[%*d][%-*d]", {4u, 7u, 3u, 1u}, "[   7][1  ]"},
    // A width or precision from the arguments is capped as a literal one is
    // (4096), whatever its size; INT_MIN is a '-' and the widest field.
    {"[%*d]", {0x7FFFFFFFu, 1u}, "[" + std::string(4095, ' ') + "1]"},
    {"[%*d]", {0x80000000u, 1u}, "[1" + std::string(4095, ' ') + "]"},
    {"[%9999d]", {1u}, "[" + std::string(4095, ' ') + "1]"},
    {"[%.*d]", {0x7FFFFFFFu, 1u}, "[" + std::string(4095, '0') + "1]"},
    {"[%.*s]", {0x7FFFFFFFu, std::string("abc")}, "[abc]"},
    {"[%.*s]", {0xFFFFFFFFu, std::string("abc")}, "[abc]"},
    {"%hd %hu", {0x18000u, 0x18000u}, "-32768 32768"},
    {"%I64X %llu %I64d", {0x123456789Aull, 18446744073709551615ull, static_cast<uint64_t>(-2)},
     "123456789A 18446744073709551615 -2"},
    {"%lx %I32u", {0xABCu, 9u}, "abc 9"},
    // Characters, strings, pointers, the percent sign.
    {"%c%C%wc", {static_cast<uint32_t>('A'), static_cast<uint32_t>(u'B'), static_cast<uint32_t>(u'C')}, "ABC"},
    {"[%s][%.2s][%5s][%-5s]", {std::string("abc"), std::string("abc"), std::string("abc"), std::string("abc")},
     "[abc][ab][  abc][abc  ]"},
    {"%p", {0x1234u}, "00001234"},
    {"100%%", {}, "100%"},
    // What the kernel refuses or does not know is kept visible and reported.
    {"%n", {0u}, "", 1},
    {"%f", {uint64_t{0}}, "%f", 1},
    {"%q", {}, "%q", 1},
    {"abc%", {}, "abc%", 1},
};

class DebugPrintFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(DebugPrintFormatTest, MatchesTheKernel)
{
    ListedArguments arguments(GetParam().arguments);
    FormattedMessage message = FormatDebugMessage(GetParam().format, arguments);
    EXPECT_EQ(message.bytes, GetParam().expected);
    EXPECT_EQ(message.problems.size(), GetParam().problems);
}

INSTANTIATE_TEST_SUITE_P(Conversions, DebugPrintFormatTest, ::testing::ValuesIn(Cases));

}  // namespace
}  // namespace quarnhold::testbed
