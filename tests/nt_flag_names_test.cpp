// nt_flag_names_test.cpp
//
// The flags a trace spells out: named as a driver writes them, groups of
// rights before the single bits left over, a directory's own names for its
// rights, and every bit no name covers kept as hex.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "testbed/nt_flag_names.h"

namespace quarnhold::tests {
namespace {

struct FlagCase {
    std::string what;
    std::function<testbed::FlagNames()> names;
    std::string expected;
};

void PrintTo(const FlagCase& c, std::ostream* out)
{
    *out << c.what;
}

const FlagCase FlagCases[] = {
    {"access_of_the_write_step", [] { return testbed::AccessMaskNames(0x00100002); }, "SYNCHRONIZE | FILE_WRITE_DATA"},
    {"a_directory_names_its_rights", [] { return testbed::AccessMaskNames(0x00100023, true); },
     "SYNCHRONIZE | FILE_TRAVERSE | FILE_ADD_FILE | FILE_LIST_DIRECTORY"},
    {"a_group_whole", [] { return testbed::AccessMaskNames(0x00120116); }, "FILE_GENERIC_WRITE"},
    {"a_group_and_a_bit_beyond_it", [] { return testbed::AccessMaskNames(0x00130116); },
     "FILE_GENERIC_WRITE | DELETE"},
    // The groups overlap; the second is named for the bit only it adds.
    {"two_overlapping_groups", [] { return testbed::AccessMaskNames(0x001200A9); },
     "FILE_GENERIC_READ | FILE_GENERIC_EXECUTE"},
    {"all_access_takes_in_the_groups", [] { return testbed::AccessMaskNames(0x001F01FF); }, "FILE_ALL_ACCESS"},
    {"generic_rights", [] { return testbed::AccessMaskNames(0xC0100000); },
     "GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE"},
    {"bits_no_right_names", [] { return testbed::AccessMaskNames(0x00100200); }, "SYNCHRONIZE | 0x00000200"},
    {"no_access", [] { return testbed::AccessMaskNames(0); }, "0"},
    {"no_sharing", [] { return testbed::ShareAccessNames(0); }, "0"},
    {"all_sharing", [] { return testbed::ShareAccessNames(7); },
     "FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE"},
    {"sharing_beyond_the_valid_flags", [] { return testbed::ShareAccessNames(9); }, "FILE_SHARE_READ | 0x00000008"},
    {"options_of_the_directory_step", [] { return testbed::CreateOptionNames(0x21); },
     "FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT"},
    {"options_beyond_the_valid_ones", [] { return testbed::CreateOptionNames(0x01000040); },
     "FILE_NON_DIRECTORY_FILE | 0x01000000"},
    {"object_attributes_of_the_steps", [] { return testbed::ObjectAttributeNames(0x240); },
     "OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE"},
    {"object_attribute_bit_0_is_no_attribute", [] { return testbed::ObjectAttributeNames(0x201); },
     "OBJ_KERNEL_HANDLE | 0x00000001"},
    {"file_attributes", [] { return testbed::FileAttributeNames(0x80); }, "FILE_ATTRIBUTE_NORMAL"},
};

class FlagNamesTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(FlagNamesTest, SpellsEveryBit)
{
    EXPECT_EQ(testbed::JoinFlagNames(GetParam().names()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FlagNamesTest, ::testing::ValuesIn(FlagCases),
                         [](const ::testing::TestParamInfo<FlagCase>& info) { return info.param.what; });

TEST(FlagNames, DispositionsAndInformationBeyondTheLastHaveNoName)
{
    EXPECT_EQ(testbed::CreateDispositionName(3), "FILE_OPEN_IF");
    EXPECT_EQ(testbed::CreateDispositionName(5), "FILE_OVERWRITE_IF");
    EXPECT_EQ(testbed::CreateDispositionName(6), std::nullopt);
    EXPECT_EQ(testbed::CreateInformationName(2), "FILE_CREATED");
    EXPECT_EQ(testbed::CreateInformationName(6), std::nullopt);
}

}  // namespace
}  // namespace quarnhold::tests
