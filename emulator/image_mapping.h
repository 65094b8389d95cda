// image_mapping.h
//
// Lays a parsed image out as the loader would at a chosen base: headers and
// sections at their RVAs, base relocations applied for the difference from
// the preferred base, and each import's IAT slot bound to an address the
// caller supplies.

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/pe_image.h"

namespace quarnhold::emulator {

// A page-aligned stretch of the mapped image and the access the guest gets.
struct MappedRegion {
    std::string name;  // "headers" or the section name
    uint32_t rva = 0;
    uint32_t size = 0;  // a multiple of 4096
    bool read = false;
    bool write = false;
    bool execute = false;
};

struct MappedImage {
    uint64_t base = 0;
    uint64_t entryPoint = 0;      // absolute guest address
    std::vector<uint8_t> memory;  // sizeOfImage bytes (rounded up to a page), relocated and bound
    std::vector<MappedRegion> regions;
};

// Returns the guest address for an import, or nothing when it cannot be bound.
using ImportResolver = std::function<std::optional<uint64_t>(std::string_view library, std::string_view name)>;

// Maps `image` at `base` (a multiple of 64 KB; below 4 GB for a PE32 image).
// Relocated values and import slots are 4 bytes wide in a PE32 image, 8 in
// a PE32+. Throws ImageError when a section does not fit in the image, a
// relocation falls outside it, or an import cannot be bound.
MappedImage MapImage(const PeImage& image, uint64_t base, const ImportResolver& resolve);

}  // namespace quarnhold::emulator
