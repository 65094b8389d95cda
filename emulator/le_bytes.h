// le_bytes.h
//
// Little-endian loads and stores on byte spans. Callers check bounds first;
// these only assemble the bytes, so the reader and the mapper agree on order.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarnhold::emulator {

// The 16-bit little-endian value at `offset`.
// Used wherever a PE field of two bytes is read, after a bounds check.
inline uint16_t LoadLe16(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// The 32-bit little-endian value at `offset`.
// Used wherever a PE field of four bytes is read, after a bounds check.
inline uint32_t LoadLe32(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// The 64-bit little-endian value at `offset`.
// Used by the mapper for a PE32+ image's relocated values.
inline uint64_t LoadLe64(std::span<const uint8_t> bytes, size_t offset)
{
    return uint64_t{LoadLe32(bytes, offset)} | uint64_t{LoadLe32(bytes, offset + 4)} << 32;
}

// Writes `value` as four little-endian bytes at `offset`.
// Used by the mapper for relocated values and bound import slots.
inline void StoreLe32(std::span<uint8_t> bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Writes `value` as eight little-endian bytes at `offset`.
// Used by the mapper for a PE32+ image's relocated values and import slots.
inline void StoreLe64(std::span<uint8_t> bytes, size_t offset, uint64_t value)
{
    for (size_t i = 0; i < 8; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace quarnhold::emulator
