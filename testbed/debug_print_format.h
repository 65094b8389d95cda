// debug_print_format.h
//
// DbgPrint's formatting, as the kernel's _vsnprintf does it: the byte string
// a format and its arguments produce. Where the arguments come from (host
// varargs, or the guest's stack) is behind FormatArguments.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnhold::testbed {

// The caller's arguments, taken one at a time in order.
class FormatArguments {
public:
    virtual ~FormatArguments() = default;

    virtual uint32_t NextInt32() = 0;
    virtual uint64_t NextInt64() = 0;
    // A pointer, widened to 64 bits.
    virtual uint64_t NextPointer() = 0;
    // Hex digits of a pointer printed with %p: 8 on i386.
    virtual int PointerDigits() const = 0;

    // The NUL-terminated string at an address; nothing when it cannot be read.
    virtual std::optional<std::string> ReadString(uint64_t address) = 0;
    virtual std::optional<std::u16string> ReadWideString(uint64_t address) = 0;
    // The text of the UNICODE_STRING record at an address (%wZ).
    virtual std::optional<std::u16string> ReadCountedWideString(uint64_t address) = 0;
};

struct FormattedMessage {
    std::string bytes;
    // What a verifier would complain of: an unknown conversion, an unreadable
    // string argument.
    std::vector<std::string> problems;
};

// Formats `format` with `arguments`. Wide strings become GBK, as on a code
// page 936 system.
FormattedMessage FormatDebugMessage(std::string_view format, FormatArguments& arguments);

}  // namespace quarnhold::testbed
