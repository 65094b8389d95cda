// text_encoding.h
//
// The one place where text changes encoding, all through iconv: GBK (code
// page 936, the driver's messages and file text) to and from UTF-8 for people
// and tests, and UTF-16 (NT names) to and from UTF-8 (host file names) and
// GBK (what DbgPrint's %ws produces on a code page 936 system).

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarnhold::testbed {

// GBK bytes as UTF-8 for display. A byte sequence that is not GBK becomes
// U+FFFD and the conversion goes on, so nothing a driver prints is hidden.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 text as GBK bytes; nothing when the text has a character GBK lacks or
// is not UTF-8.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// UTF-16 as the kernel's %ws turns it into bytes on a code page 936 system:
// GBK, with '?' for a character that has no GBK form.
std::string Utf16ToGbkLossy(std::u16string_view utf16);

// UTF-16 names to and from UTF-8 host names; nothing for a lone surrogate or
// invalid UTF-8.
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

}  // namespace quarnhold::testbed
