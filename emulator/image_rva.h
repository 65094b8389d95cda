// image_rva.h
//
// Where an address falls in a mapped image: its relative virtual address,
// the offset from the base the image was mapped at. The same for any
// machine's image: an RVA is a 32-bit offset whatever the address width.

#pragma once

#include <cstdint>
#include <optional>

namespace quarnhold::emulator {

// The RVA of `address` in the image of `size` bytes mapped at `base`;
// nothing when the address lies outside it.
constexpr std::optional<uint32_t> ImageRva(uint64_t address, uint64_t base, uint32_t size)
{
    if (address < base || address - base >= size) return std::nullopt;
    return static_cast<uint32_t>(address - base);
}

}  // namespace quarnhold::emulator
