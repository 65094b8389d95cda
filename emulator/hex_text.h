// hex_text.h
//
// Hex spelling for error messages, so every message writes values the same
// way ("0x2210", "0x00005E6A") without std::format.

#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quarnhold::emulator {

// "0x" and `value` in upper-case hex, zero-padded to `digits` digits.
// Used when an error or loader problem names an offset, RVA or field value.
inline std::string Hex(uint64_t value, int digits = 1)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace quarnhold::emulator
