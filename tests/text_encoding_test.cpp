// text_encoding_test.cpp
//
// The converters are kept between conversions, one per direction and thread:
// a refused or cut-short input must leave nothing behind for the next one,
// and another thread must get its own.

#include <gtest/gtest.h>

#include <thread>

#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// 目录 in GBK, UTF-8 and UTF-16.
const std::string Gbk = "\xC4\xBF\xC2\xBC";
const std::string Utf8 = "\xE7\x9B\xAE\xE5\xBD\x95";
const std::u16string Utf16 = u"\u76EE\u5F55";

// Every direction, once after a refused or cut-short input of its own.
void ConvertAfterBadInput()
{
    EXPECT_EQ(GbkToUtf8("\xC4"), "\xEF\xBF\xBD");  // a lead byte with no trail
    EXPECT_EQ(GbkToUtf8(Gbk), Utf8);

    EXPECT_EQ(Utf8ToGbk("\xE7\x9B"), std::nullopt);  // cut short
    EXPECT_EQ(Utf8ToGbk(Utf8), Gbk);
    EXPECT_EQ(Utf8ToGbk("\xF0\x9F\x98\x80"), std::nullopt);  // no GBK form
    EXPECT_EQ(Utf8ToGbk(Utf8), Gbk);

    EXPECT_EQ(Utf16ToGbkLossy(u"\U0001F600"), "??");
    EXPECT_EQ(Utf16ToGbkLossy(Utf16), Gbk);

    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), std::nullopt);  // a lone surrogate
    EXPECT_EQ(Utf16ToUtf8(Utf16), Utf8);

    EXPECT_EQ(Utf8ToUtf16("\xFF"), std::nullopt);
    EXPECT_EQ(Utf8ToUtf16(Utf8), Utf16);
}

TEST(TextEncoding, KeptConvertersCarryNothingFromOneConversionToTheNext)
{
    ConvertAfterBadInput();
    ConvertAfterBadInput();
}

TEST(TextEncoding, EachThreadConvertsOnItsOwn)
{
    std::thread first(ConvertAfterBadInput);
    std::thread second(ConvertAfterBadInput);
    first.join();
    second.join();
}

}  // namespace
}  // namespace quarnhold::testbed
