// model_text.h
//
// How the model's requests spell values in their traces and reports: shared
// by the files that answer the four routines.

#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quarnhold::testbed {

// Host pointers can be 64-bit; handles and guest pointers print as 8 digits.
inline std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace quarnhold::testbed
