// pe_image.h
//
// Reads a PE32 (i386) or PE32+ (amd64) image file into plain values,
// refusing anything truncated or inconsistent with an ImageError that names
// what is wrong. Reading never
// trusts an offset or a size from the file: every one is checked against the
// file's length before it is used.

#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnhold::emulator {

// A corrupt, truncated or unacceptable image. what() is one line, fit to show
// a person, e.g. "section .text runs past the end of the file".
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The largest file, and the largest sizeOfImage, accepted: far above any
// driver, yet low enough that a corrupt header cannot make the reader or the
// mapper allocate gigabytes.
constexpr uint32_t MaxImageSize = 64u << 20;

// IMAGE_SCN_* bits the loader looks at.
constexpr uint32_t SectionContainsCode = 0x00000020;
constexpr uint32_t SectionDiscardable = 0x02000000;
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionRead = 0x40000000;
constexpr uint32_t SectionWrite = 0x80000000;

struct PeSection {
    std::string name;  // up to 8 characters, NULs dropped
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawDataOffset = 0;
    uint32_t rawDataSize = 0;
    uint32_t characteristics = 0;
};

// Bytes a section takes in memory: its virtual size, or its raw size when an
// old linker left the virtual size 0. Used by the reader, checks and mapper.
inline uint32_t SectionMappedSize(const PeSection& section)
{
    return section.virtualSize != 0 ? section.virtualSize : section.rawDataSize;
}

// Bytes of a section that come from the file; the rest of its memory is zero.
// Used wherever section contents are read or copied.
inline uint32_t SectionFileSize(const PeSection& section)
{
    return section.virtualSize != 0 ? std::min(section.virtualSize, section.rawDataSize) : section.rawDataSize;
}

// One imported routine, bound through the import address table slot at
// iatRva (4 bytes in a PE32 image, 8 in a PE32+). Imports by ordinal are
// refused when reading.
struct PeImport {
    std::string library;  // as written in the image, e.g. "ntoskrnl.exe"
    std::string name;     // e.g. "ZwCreateFile"
    uint32_t iatRva = 0;
};

// The CodeView (RSDS) record of the debug directory: what a debugger matches
// against the PDB.
struct CodeViewRecord {
    std::array<uint8_t, 16> guid{};
    uint32_t age = 0;
    std::string pdbPath;
};

// One entry of a PE32+ image's exception directory (a RUNTIME_FUNCTION):
// the code [beginRva, endRva) and the unwind information that describes its
// frame.
struct PeRuntimeFunction {
    uint32_t beginRva = 0;
    uint32_t endRva = 0;
    uint32_t unwindInfoRva = 0;
};

constexpr uint16_t Pe32Magic = 0x10B;
constexpr uint16_t Pe32PlusMagic = 0x20B;

struct PeImage {
    // File header.
    uint16_t machine = 0;
    uint16_t fileCharacteristics = 0;
    uint32_t timeDateStamp = 0;

    // Optional header: PE32 (0x10B) or PE32+ (0x20B), whose pointers,
    // image base and import slots are 64-bit.
    uint16_t magic = 0;
    uint64_t imageBase = 0;
    uint32_t entryPointRva = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint16_t subsystem = 0;
    uint16_t majorOperatingSystemVersion = 0;
    uint16_t minorOperatingSystemVersion = 0;
    uint16_t majorSubsystemVersion = 0;
    uint16_t minorSubsystemVersion = 0;
    uint16_t dllCharacteristics = 0;
    uint32_t headerChecksum = 0;    // as stored in the optional header
    uint32_t computedChecksum = 0;  // as computed over the file

    // Data directories that a kernel driver must not have are only noted.
    bool hasExportDirectory = false;
    bool hasResourceDirectory = false;

    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    // RVAs of the base relocations, in the order of the .reloc blocks:
    // 32-bit (HIGHLOW) ones in a PE32 image, 64-bit (DIR64) ones in a PE32+;
    // ABSOLUTE padding entries are skipped.
    std::vector<uint32_t> relocationRvas;
    bool hasRelocationDirectory = false;
    // The exception directory of a PE32+ image, in its order; a PE32 image
    // has none that means anything to a loader.
    std::vector<PeRuntimeFunction> runtimeFunctions;
    bool hasExceptionDirectory = false;
    std::optional<CodeViewRecord> codeView;

    std::vector<uint8_t> file;  // the whole file as read

    bool Is64Bit() const { return magic == Pe32PlusMagic; }
    // Bytes of a pointer, an import slot or a relocated value: 4 or 8.
    uint32_t PointerBytes() const { return Is64Bit() ? 8 : 4; }
};

// Parses an image held in memory, keeping a copy of it. Throws ImageError.
PeImage ParsePeImage(std::span<const uint8_t> file);
// The same, keeping `file` itself: a large image is held once, not copied.
PeImage ParsePeImage(std::vector<uint8_t>&& file);

// Reads and parses an image file, read once into the buffer the image
// keeps. A missing or unreadable file is an
// ImageError naming the path.
PeImage ReadPeImage(const std::filesystem::path& path);

// The PE header checksum: 16-bit one's-complement-style sum of the file with
// the checksum field itself taken as zero, folded, plus the file length.
uint32_t ComputePeChecksum(std::span<const uint8_t> file, size_t checksumFieldOffset);

}  // namespace quarnhold::emulator
