// image_mapping.cpp
//
// Lays a parsed image out in guest memory. The layout is planned and checked
// in full before the memory is allocated, so a bad image costs nothing.

#include "emulator/image_mapping.h"

#include <algorithm>

#include "emulator/hex_text.h"
#include "emulator/le_bytes.h"

namespace quarnhold::emulator {
namespace {

constexpr uint64_t PageSize = 0x1000;
constexpr uint32_t BaseGranularity = 0x10000;  // NT places images on 64 KB boundaries

// Throws the one-line ImageError that every refusal here ends in.
// Used so each check reads as the sentence it reports.
[[noreturn]] void Fail(const std::string& message)
{
    throw ImageError(message);
}

// `size` rounded up to whole pages.
// Used for the memory size and every region.
uint64_t RoundUpToPage(uint64_t size)
{
    return (size + PageSize - 1) / PageSize * PageSize;
}

// The page-rounded regions of headers and sections, checked to lie in
// `memorySize`, in ascending order, without overlap. Used before allocating.
std::vector<MappedRegion> PlanRegions(const PeImage& image, uint64_t memorySize)
{
    // The reader checked these against the file; a hand-built PeImage may not have been.
    if (image.sizeOfHeaders == 0 || image.sizeOfHeaders > image.file.size()) {
        Fail("size of headers " + Hex(image.sizeOfHeaders) + " does not fit the file");
    }
    const uint64_t headersSize = RoundUpToPage(image.sizeOfHeaders);
    if (headersSize > memorySize) {
        Fail("headers (" + Hex(image.sizeOfHeaders) + " bytes) do not fit in the image (" + Hex(memorySize) +
             " bytes)");
    }
    std::vector<MappedRegion> regions;
    regions.push_back({"headers", 0, static_cast<uint32_t>(headersSize), true, false, false});

    uint64_t mappedEnd = headersSize;
    for (const PeSection& section : image.sections) {
        const uint64_t size = RoundUpToPage(SectionMappedSize(section));
        if (size == 0) {
            continue;  // takes no memory, so there is nothing to protect
        }
        const std::string where = "section " + section.name + " at RVA " + Hex(section.virtualAddress);
        if (section.virtualAddress % PageSize != 0) {
            Fail(where + " is not page-aligned");
        }
        if (section.virtualAddress < mappedEnd) {
            Fail(where + " overlaps the headers or the section before it");
        }
        if (section.virtualAddress + size > memorySize) {
            Fail(where + " runs past the end of the image (" + Hex(memorySize) + " bytes)");
        }
        // A section with no file data (.bss) may carry any raw data offset.
        if (SectionFileSize(section) != 0 &&
            uint64_t{section.rawDataOffset} + SectionFileSize(section) > image.file.size()) {
            Fail("section " + section.name + " runs past the end of the file");
        }
        regions.push_back({section.name, section.virtualAddress, static_cast<uint32_t>(size),
                           (section.characteristics & SectionRead) != 0,
                           (section.characteristics & SectionWrite) != 0,
                           (section.characteristics & SectionExecute) != 0});
        mappedEnd = section.virtualAddress + size;
    }
    return regions;
}

// Copies the headers and each section's file data to their RVAs.
// Used once the regions are known to fit; the rest of memory stays zero.
void CopyContents(const PeImage& image, std::span<uint8_t> memory)
{
    std::copy_n(image.file.begin(), image.sizeOfHeaders, memory.begin());
    for (const PeSection& section : image.sections) {
        if (SectionFileSize(section) == 0) {
            continue;
        }
        std::copy_n(image.file.begin() + section.rawDataOffset, SectionFileSize(section),
                    memory.begin() + section.virtualAddress);
    }
}

// Adds (base - imageBase) to each target: mod 2^32 to a PE32 image's
// HIGHLOW ones, mod 2^64 to a PE32+ image's DIR64 ones. Used before binding,
// as the loader does, so bound slots are never moved.
void ApplyRelocations(const PeImage& image, uint64_t base, std::span<uint8_t> memory)
{
    const uint64_t delta = base - image.imageBase;
    const uint32_t width = image.PointerBytes();
    for (const uint32_t rva : image.relocationRvas) {
        if (uint64_t{rva} + width > memory.size()) {
            Fail("relocation at RVA " + Hex(rva) + " lies outside the image");
        }
        if (width == 8) {
            StoreLe64(memory, rva, LoadLe64(memory, rva) + delta);
        } else {
            StoreLe32(memory, rva, LoadLe32(memory, rva) + static_cast<uint32_t>(delta));
        }
    }
}

// Writes the resolver's address for each import into its IAT slot.
// Used last; an import the resolver does not know stops the mapping.
void BindImports(const PeImage& image, const ImportResolver& resolve, std::span<uint8_t> memory)
{
    for (const PeImport& import : image.imports) {
        const std::string name = import.library + "!" + import.name;
        const uint32_t width = image.PointerBytes();
        if (uint64_t{import.iatRva} + width > memory.size()) {
            Fail("import slot for " + name + " at RVA " + Hex(import.iatRva) + " lies outside the image");
        }
        const std::optional<uint64_t> address = resolve(import.library, import.name);
        if (!address) {
            Fail("cannot bind " + name);
        }
        if (width == 8) {
            StoreLe64(memory, import.iatRva, *address);
        } else if (*address > UINT32_MAX) {
            Fail("cannot bind " + name + " to " + HexAddress(*address) + ", above 4 GB");
        } else {
            StoreLe32(memory, import.iatRva, static_cast<uint32_t>(*address));
        }
    }
}

}  // namespace

MappedImage MapImage(const PeImage& image, uint64_t base, const ImportResolver& resolve)
{
    if (base % BaseGranularity != 0) {
        Fail("base " + HexAddress(base) + " is not a multiple of 64 KB");
    }
    if (image.sizeOfImage > MaxImageSize) {
        Fail("size of image " + Hex(image.sizeOfImage) + " is over the 64 MiB limit");
    }
    const uint64_t memorySize = RoundUpToPage(image.sizeOfImage);
    if (!image.Is64Bit() && base + memorySize > uint64_t{UINT32_MAX} + 1) {
        Fail("image of " + Hex(memorySize) + " bytes does not fit below 4 GB at base " + HexAddress(base));
    }
    if (base > UINT64_MAX - memorySize) {
        Fail("image of " + Hex(memorySize) + " bytes runs past the end of the address space at base " +
             HexAddress(base));
    }

    MappedImage mapped;
    mapped.base = base;
    mapped.entryPoint = base + image.entryPointRva;
    mapped.regions = PlanRegions(image, memorySize);
    mapped.memory.assign(memorySize, 0);
    CopyContents(image, mapped.memory);
    ApplyRelocations(image, base, mapped.memory);
    BindImports(image, resolve, mapped.memory);
    return mapped;
}

}  // namespace quarnhold::emulator
