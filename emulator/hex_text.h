// hex_text.h
//
// Hex spelling for error messages, so every message writes values the same
// way ("0x2210", "0x00005E6A") without std::format.

#pragma once

#include <cstdint>
#include <string>

namespace quarnhold::emulator {

// "0x" and `value` in upper-case hex, zero-padded to `digits` digits.
// Used when an error or loader problem names an offset, RVA or field value.
// Spelled by hand rather than with snprintf: the kernel traps name a return
// address on every call, and snprintf's format parsing was a visible share
// of a run.
inline std::string Hex(uint64_t value, int digits = 1)
{
    char reversed[16];
    int count = 0;
    do {
        reversed[count++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string text = "0x";
    text.append(digits > count ? static_cast<size_t>(digits - count) : 0, '0');
    while (count > 0) text += reversed[--count];
    return text;
}

// A guest address: eight digits when it lies below 4 GB, as every i386
// address does, sixteen above, as an amd64 kernel address does.
inline std::string HexAddress(uint64_t address)
{
    return Hex(address, address > 0xFFFFFFFF ? 16 : 8);
}

}  // namespace quarnhold::emulator
