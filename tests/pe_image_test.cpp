// pe_image_test.cpp
//
// The PE reader, loader checks and mapper against the real quarnhold.sys,
// i386 (PE32) and amd64 (PE32+), and against copies of each corrupted one
// way at a time.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/pe_image.h"

namespace quarnhold::emulator {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::string_view KnownImports[] = {"ZwCreateFile", "ZwWriteFile", "ZwClose", "DbgPrint"};
constexpr uint32_t MovedBase = 0x80A00000;

// Little-endian access for patching, kept apart from the reader under test
// so a layout slip there cannot hide behind the same slip here.
uint32_t Get32(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Writes a 32-bit little-endian field of a copy being corrupted.
// Used by the corruption table.
void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes a 16-bit little-endian field of a copy being corrupted.
// Used by the corruption table.
void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The bytes of the image the build made, read once.
// Every test starts from a copy of these.
const Bytes& RealImageBytes()
{
    static const Bytes bytes = [] {
        std::ifstream in(QUARNHOLD_IMAGE_PATH, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

// File offsets of header fields, found the way a loader finds them.
// Used to aim each corruption.
size_t PeAt(const Bytes& b) { return Get32(b, 0x3C); }
size_t FileHeaderAt(const Bytes& b) { return PeAt(b) + 4; }
size_t OptionalAt(const Bytes& b) { return PeAt(b) + 24; }
size_t DirectoryAt(const Bytes& b, size_t index) { return OptionalAt(b) + 96 + index * 8; }
size_t SectionHeaderAt(const Bytes& b, size_t index) { return OptionalAt(b) + 224 + index * 40; }

// Where an RVA of the real image lies in its file.
// Used to reach directory contents for patching.
size_t FileOffsetOfRva(uint32_t rva)
{
    static const PeImage image = ParsePeImage(RealImageBytes());
    for (const PeSection& s : image.sections) {
        if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawDataSize) {
            return s.rawDataOffset + (rva - s.virtualAddress);
        }
    }
    ADD_FAILURE() << "RVA not in the real image";
    return 0;
}

// File offset of the data that data directory `index` points at.
// Used for the import, relocation and debug corruptions.
size_t DirectoryDataAt(const Bytes& b, size_t index)
{
    return FileOffsetOfRva(Get32(b, DirectoryAt(b, index)));
}

// File offset of the first entry of the first import lookup table.
// Used to turn an import into an ordinal or point its name elsewhere.
size_t FirstLookupEntryAt(const Bytes& b)
{
    return FileOffsetOfRva(Get32(b, DirectoryDataAt(b, 1)));
}

// Overwrites the first `from` (with its NUL) by `to`, NUL-padded.
// Used to rename an import or its library in place.
void ReplaceName(Bytes& b, std::string_view from, std::string_view to)
{
    const std::string needle(from.data(), from.size() + 1);
    const auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    ASSERT_NE(at, b.end());
    std::fill_n(at, needle.size(), 0);
    std::copy(to.begin(), to.end(), at);
}

// Stores the checksum of the corrupted copy in its header.
// Used so a loader case shows its own problem, not a checksum mismatch too.
void FixChecksum(Bytes& b)
{
    const size_t field = OptionalAt(b) + 64;
    Put32(b, field, ComputePeChecksum(b, field));
}

// (a) The image the build produces reads back with the facts its link promised.
TEST(PeImage, RealImageReadsBack)
{
    const PeImage image = ReadPeImage(QUARNHOLD_IMAGE_PATH);
    EXPECT_EQ(image.machine, 0x14C);
    EXPECT_EQ(image.subsystem, 1);
    EXPECT_EQ(image.imageBase, 0x10000u);
    EXPECT_EQ(image.majorOperatingSystemVersion, 4);
    EXPECT_EQ(image.minorOperatingSystemVersion, 0);
    EXPECT_EQ(image.majorSubsystemVersion, 4);
    EXPECT_EQ(image.minorSubsystemVersion, 0);
    EXPECT_EQ(image.fileCharacteristics & 0x2000, 0);
    EXPECT_FALSE(image.hasExportDirectory);
    EXPECT_FALSE(image.hasResourceDirectory);
    EXPECT_NE(image.headerChecksum, 0u);
    EXPECT_EQ(image.computedChecksum, image.headerChecksum);

    // Before binding, each IAT slot holds the RVA of its hint and name.
    std::vector<std::string> names;
    for (const PeImport& i : image.imports) {
        EXPECT_EQ(i.library, "ntoskrnl.exe");
        const size_t hintName = FileOffsetOfRva(Get32(image.file, FileOffsetOfRva(i.iatRva)));
        EXPECT_STREQ(reinterpret_cast<const char*>(&image.file[hintName + 2]), i.name.c_str());
        names.push_back(i.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"DbgPrint", "ZwClose", "ZwCreateFile", "ZwWriteFile"}));

    EXPECT_TRUE(image.hasRelocationDirectory);
    EXPECT_FALSE(image.relocationRvas.empty());
    ASSERT_TRUE(image.codeView.has_value());
    EXPECT_EQ(image.codeView->pdbPath, "quarnhold.pdb");
    EXPECT_GE(image.codeView->age, 1u);
    EXPECT_TRUE(KernelLoaderProblems(image, KnownImports).empty());
}

TEST(PeImage, MissingFileNamesThePath)
{
    try {
        ReadPeImage("/nonexistent/quarnhold.sys");
        FAIL() << "no error";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/quarnhold.sys"), std::string::npos) << e.what();
    }
}

// (b) One corruption of the real image and what it must be refused with.
enum class Outcome { ParseError, LoaderProblem, Accepted };

struct Corruption {
    std::string name;
    std::function<void(Bytes&)> apply;
    Outcome outcome;
    std::string message;  // in the parse error, or in every loader problem
    bool fixChecksum = true;  // so a loader case shows only its own problem
};

// Names a row in gtest's output instead of dumping its bytes.
// Called by gtest when a row fails.
void PrintTo(const Corruption& c, std::ostream* os) { *os << c.name; }

class CorruptedImage : public testing::TestWithParam<Corruption> {};

// Applies `c` to a copy of `image` and checks the reader's or the loader's
// answer. Used by the i386 and the amd64 tables.
void ExpectRefusal(const Corruption& c, const Bytes& original)
{
    Bytes bytes = original;
    c.apply(bytes);
    if (c.outcome != Outcome::ParseError && c.fixChecksum) {
        FixChecksum(bytes);
    }

    if (c.outcome == Outcome::ParseError) {
        try {
            ParsePeImage(bytes);
            FAIL() << "parsed without error";
        } catch (const ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        return;
    }
    const PeImage image = ParsePeImage(bytes);
    const std::vector<std::string> problems = KernelLoaderProblems(image, KnownImports);
    if (c.outcome == Outcome::Accepted) {
        EXPECT_TRUE(problems.empty()) << problems.front();
        return;
    }
    ASSERT_FALSE(problems.empty());
    for (const std::string& p : problems) {
        EXPECT_NE(p.find(c.message), std::string::npos) << p;
    }
    EXPECT_THROW(CheckKernelImage(image, KnownImports), ImageError);
}

TEST_P(CorruptedImage, IsRefusedForTheRightReason)
{
    ExpectRefusal(GetParam(), RealImageBytes());
}

// A corruption that cuts the file at the offset `at` computes.
// Used for the truncation rows.
std::function<void(Bytes&)> TruncateAt(std::function<size_t(const Bytes&)> at)
{
    return [at](Bytes& b) { b.resize(at(b)); };
}

const Corruption Corruptions[] = {
    // Truncation, from the front of the file to its last byte.
    {"cut_in_dos_header", TruncateAt([](auto&) { return 0x20; }), Outcome::ParseError,
     "file ends inside the DOS header"},
    {"cut_in_pe_signature", TruncateAt([](auto& b) { return PeAt(b) + 2; }), Outcome::ParseError,
     "PE header offset 0x78 is past the end of the file"},
    {"cut_in_file_header", TruncateAt([](auto& b) { return FileHeaderAt(b) + 10; }), Outcome::ParseError,
     "file ends inside the COFF file header"},
    {"cut_in_optional_header", TruncateAt([](auto& b) { return OptionalAt(b) + 100; }), Outcome::ParseError,
     "file ends inside the optional header"},
    {"cut_in_section_table", TruncateAt([](auto& b) { return SectionHeaderAt(b, 1) + 8; }), Outcome::ParseError,
     "file ends inside the section table"},
    {"cut_before_end_of_headers", TruncateAt([](auto&) { return 0x300; }), Outcome::ParseError,
     "headers (0x400 bytes) run past the end of the file"},
    {"cut_in_rdata", TruncateAt([](auto&) { return 0x900; }), Outcome::ParseError,
     "section .rdata runs past the end of the file"},
    {"cut_last_byte", TruncateAt([](auto& b) { return b.size() - 1; }), Outcome::ParseError,
     "section .reloc runs past the end of the file"},
    // Broken headers.
    {"bad_mz", [](Bytes& b) { b[1] = 'X'; }, Outcome::ParseError, "no MZ signature"},
    {"bad_pe_signature", [](Bytes& b) { b[PeAt(b) + 1] = 'X'; }, Outcome::ParseError, "no PE signature at offset 0x78"},
    {"pe_offset_past_end", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0); }, Outcome::ParseError,
     "PE header offset 0xFFFFFFF0 is past the end of the file"},
    // PE32+ read over a PE32 header: its directory count is 16 bytes on,
    // where the import directory's size (40) lies.
    {"pe32_plus_magic", [](Bytes& b) { Put16(b, OptionalAt(b), 0x20B); }, Outcome::ParseError,
     "optional header of 224 bytes has no room for 40 data directories"},
    {"rom_magic", [](Bytes& b) { Put16(b, OptionalAt(b), 0x107); }, Outcome::ParseError,
     "magic 0x0107 is neither PE32 (0x010B) nor PE32+ (0x020B)"},
    {"too_many_sections", [](Bytes& b) { Put16(b, FileHeaderAt(b) + 2, 97); }, Outcome::ParseError,
     "97 sections"},
    {"text_raw_data_past_end", [](Bytes& b) { Put32(b, SectionHeaderAt(b, 0) + 20, b.size() - 0x200); },
     Outcome::ParseError, "section .text runs past the end of the file"},
    // Broken directories.
    {"import_by_ordinal", [](Bytes& b) { Put32(b, FirstLookupEntryAt(b), 0x80000005); }, Outcome::ParseError,
     "by ordinal 5"},
    {"import_name_outside_sections", [](Bytes& b) { Put32(b, FirstLookupEntryAt(b), 0x9000); },
     Outcome::ParseError, "import name at RVA 0x9000 is not inside any section"},
    {"relocation_block_size_3", [](Bytes& b) { Put32(b, DirectoryDataAt(b, 5) + 4, 3); }, Outcome::ParseError,
     "relocation block at RVA 0x3000 has size 3"},
    // The 21st entry of the first block, so every entry must be read.
    {"relocation_type_dir64", [](Bytes& b) { b[DirectoryDataAt(b, 5) + 8 + 2 * 20 + 1] = 0xA0; },
     Outcome::ParseError, "has type 10"},
    {"codeview_past_end", [](Bytes& b) { Put32(b, DirectoryDataAt(b, 6) + 16, 0x100000); }, Outcome::ParseError,
     "file ends inside the CodeView record"},
    // Sound structure, refused by the loader.
    {"checksum_altered", [](Bytes& b) { Put32(b, OptionalAt(b) + 64, Get32(b, OptionalAt(b) + 64) + 1); },
     Outcome::LoaderProblem, "does not match the file's", false},
    {"machine_amd64", [](Bytes& b) { Put16(b, FileHeaderAt(b), 0x8664); }, Outcome::LoaderProblem,
     "machine 0x8664 (amd64) with a PE32 optional header: an amd64 image is PE32+"},
    {"machine_arm64", [](Bytes& b) { Put16(b, FileHeaderAt(b), 0xAA64); }, Outcome::LoaderProblem,
     "machine 0xAA64 is neither i386 (0x014C) nor amd64 (0x8664)"},
    {"subsystem_gui", [](Bytes& b) { Put16(b, OptionalAt(b) + 68, 2); }, Outcome::LoaderProblem,
     "subsystem 2 is not native"},
    {"dll_flag", [](Bytes& b) { b[FileHeaderAt(b) + 19] |= 0x20; }, Outcome::LoaderProblem, "mark a DLL"},
    {"not_executable", [](Bytes& b) { b[FileHeaderAt(b) + 18] &= ~0x02; }, Outcome::LoaderProblem,
     "lack the executable-image flag"},
    {"relocs_stripped_flag", [](Bytes& b) { b[FileHeaderAt(b) + 18] |= 0x01; }, Outcome::LoaderProblem,
     "mark the relocations stripped"},
    {"relocation_directory_zeroed",
     [](Bytes& b) {
         Put32(b, DirectoryAt(b, 5), 0);
         Put32(b, DirectoryAt(b, 5) + 4, 0);
     },
     Outcome::LoaderProblem, "no base relocation directory"},
    {"entry_in_rdata", [](Bytes& b) { Put32(b, OptionalAt(b) + 16, 0x2000); }, Outcome::LoaderProblem,
     "entry point RVA 0x2000 is in section .rdata, which is not executable"},
    {"entry_outside_sections", [](Bytes& b) { Put32(b, OptionalAt(b) + 16, 0x9000); }, Outcome::LoaderProblem,
     "entry point RVA 0x9000 is not inside any section"},
    {"import_renamed", [](Bytes& b) { ReplaceName(b, "ZwCreateFile", "ZwOpenFile"); }, Outcome::LoaderProblem,
     "import ntoskrnl.exe!ZwOpenFile is not a known kernel routine"},
    {"library_renamed", [](Bytes& b) { ReplaceName(b, "ntoskrnl.exe", "hal.dll"); }, Outcome::LoaderProblem,
     "is not from ntoskrnl.exe"},
    {"library_in_capitals", [](Bytes& b) { ReplaceName(b, "ntoskrnl.exe", "NTOSKRNL.EXE"); }, Outcome::Accepted, ""},
};

INSTANTIATE_TEST_SUITE_P(PeImage, CorruptedImage, testing::ValuesIn(Corruptions),
                         [](const auto& info) { return info.param.name; });

// (c) Mapping at a base other than the preferred one.
// A resolver with made-up kernel addresses for the four routines.
// Used by the mapping tests; anything else stays unbound.
std::optional<uint64_t> KernelAddress(std::string_view library, std::string_view name)
{
    static const std::map<std::string_view, uint32_t> addresses = {
        {"DbgPrint", 0x80401000}, {"ZwClose", 0x80402000}, {"ZwCreateFile", 0x80403000}, {"ZwWriteFile", 0x80404000}};
    const auto found = addresses.find(name);
    if (library != "ntoskrnl.exe" || found == addresses.end()) return std::nullopt;
    return found->second;
}

TEST(MapImage, RelocatesBindsAndProtects)
{
    const PeImage image = ParsePeImage(RealImageBytes());
    const MappedImage home = MapImage(image, image.imageBase, KernelAddress);
    const MappedImage moved = MapImage(image, MovedBase, KernelAddress);
    ASSERT_EQ(moved.memory.size(), 0x4000u);
    EXPECT_TRUE(std::equal(image.file.begin(), image.file.begin() + image.sizeOfHeaders, home.memory.begin()));
    EXPECT_EQ(moved.entryPoint, MovedBase + image.entryPointRva);

    // At home nothing moves; elsewhere exactly the targets move, by exactly the delta.
    std::vector<bool> relocated(moved.memory.size());
    for (const uint32_t rva : image.relocationRvas) {
        EXPECT_EQ(Get32(home.memory, rva), Get32(image.file, FileOffsetOfRva(rva))) << rva;
        EXPECT_EQ(Get32(moved.memory, rva) - Get32(home.memory, rva), MovedBase - image.imageBase) << rva;
        std::fill_n(relocated.begin() + rva, 4, true);
    }
    for (size_t i = 0; i < moved.memory.size(); ++i) {
        if (!relocated[i]) ASSERT_EQ(moved.memory[i], home.memory[i]) << "byte " << i;
    }

    for (const PeImport& i : image.imports) {
        EXPECT_EQ(Get32(moved.memory, i.iatRva), *KernelAddress(i.library, i.name)) << i.name;
    }
    // Past .text's virtual size the file holds int3 padding; memory must be zero.
    const PeSection& text = image.sections.at(0);
    EXPECT_EQ(image.file[text.rawDataOffset + text.virtualSize], 0xCC);
    EXPECT_TRUE(std::all_of(home.memory.begin() + text.virtualAddress + text.virtualSize,
                            home.memory.begin() + 0x2000, [](uint8_t b) { return b == 0; }));

    struct Expected { std::string name; uint32_t rva; bool r, w, x; };
    const std::vector<Expected> expected = {
        {"headers", 0, true, false, false}, {".text", 0x1000, true, false, true},
        {".rdata", 0x2000, true, false, false}, {".reloc", 0x3000, true, false, false}};
    ASSERT_EQ(moved.regions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const MappedRegion& r = moved.regions[i];
        EXPECT_EQ(r.name, expected[i].name);
        EXPECT_EQ(r.rva, expected[i].rva);
        EXPECT_EQ(r.size, 0x1000u);
        EXPECT_EQ(std::tie(r.read, r.write, r.execute), std::tie(expected[i].r, expected[i].w, expected[i].x))
            << r.name;
    }
}

// A section with no file data (like .bss) may carry any raw data offset.
TEST(MapImage, SectionWithoutFileDataIsZeroFilled)
{
    PeImage image = ParsePeImage(RealImageBytes());
    PeSection& reloc = image.sections.at(2);
    reloc.rawDataSize = 0;
    reloc.rawDataOffset = 0xFFFFFF00;
    const MappedImage mapped = MapImage(image, MovedBase, KernelAddress);
    EXPECT_EQ(mapped.regions.back().name, ".reloc");
    EXPECT_TRUE(std::all_of(mapped.memory.begin() + reloc.virtualAddress, mapped.memory.end(),
                            [](uint8_t b) { return b == 0; }));
}

// A relocation may touch the image's very last dword, and no byte past it:
// the mapper applies the one and refuses the other (relocation_outside).
TEST(MapImage, RelocationAtTheLastDwordIsApplied)
{
    PeImage image = ParsePeImage(RealImageBytes());
    ASSERT_EQ(image.sizeOfImage, 0x4000u);
    image.relocationRvas.push_back(0x3FFC);
    const MappedImage home = MapImage(image, image.imageBase, KernelAddress);
    const MappedImage moved = MapImage(image, MovedBase, KernelAddress);
    EXPECT_EQ(Get32(moved.memory, 0x3FFC) - Get32(home.memory, 0x3FFC), MovedBase - image.imageBase);

    image.relocationRvas.back() = 0x3FFD;
    EXPECT_THROW(MapImage(image, MovedBase, KernelAddress), ImageError);
}

// What MapImage must refuse: a bad base, a bad layout, an unbindable import.
struct MappingFault {
    std::string name;
    std::function<void(PeImage&)> apply;
    uint64_t base;
    ImportResolver resolver;
    std::string message;
};

// Names a row in gtest's output instead of dumping its members.
// Called by gtest when a row fails.
void PrintTo(const MappingFault& f, std::ostream* os) { *os << f.name; }

class MappingRefusal : public testing::TestWithParam<MappingFault> {};

TEST_P(MappingRefusal, ThrowsNamingTheFault)
{
    const MappingFault& f = GetParam();
    PeImage image = ParsePeImage(RealImageBytes());
    f.apply(image);
    try {
        MapImage(image, f.base, f.resolver);
        FAIL() << "mapped without error";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find(f.message), std::string::npos) << e.what();
    }
}

const auto Unchanged = [](PeImage&) {};
const ImportResolver NoZwClose = [](std::string_view library, std::string_view name) {
    return name == "ZwClose" ? std::nullopt : KernelAddress(library, name);
};

const MappingFault MappingFaults[] = {
    {"unbound_import", Unchanged, MovedBase, NoZwClose, "cannot bind ntoskrnl.exe!ZwClose"},
    {"base_not_64k", Unchanged, MovedBase + 0x1000, KernelAddress, "is not a multiple of 64 KB"},
    {"past_4gb", [](PeImage& i) { i.sizeOfImage = 0x20000; }, 0xFFFF0000, KernelAddress, "does not fit below 4 GB"},
    {"image_too_small", [](PeImage& i) { i.sizeOfImage = 0x3000; }, MovedBase, KernelAddress,
     "section .reloc at RVA 0x3000 runs past the end of the image"},
    {"sections_overlap", [](PeImage& i) { i.sections[1].virtualAddress = 0x1000; }, MovedBase, KernelAddress,
     "section .rdata at RVA 0x1000 overlaps"},
    {"relocation_outside", [](PeImage& i) { i.relocationRvas.push_back(0x3FFE); }, MovedBase, KernelAddress,
     "relocation at RVA 0x3FFE lies outside the image"},
    {"iat_slot_outside", [](PeImage& i) { i.imports[0].iatRva = 0x4000; }, MovedBase, KernelAddress,
     "at RVA 0x4000 lies outside the image"},
    // A PE32 image's slots hold 32 bits.
    {"import_above_4gb", Unchanged, MovedBase,
     [](std::string_view, std::string_view) { return std::optional<uint64_t>(0xFFFFF80000010000); },
     "above 4 GB"},
};

INSTANTIATE_TEST_SUITE_P(PeImage, MappingRefusal, testing::ValuesIn(MappingFaults),
                         [](const auto& info) { return info.param.name; });

// (d) The checksum on inputs small enough to sum by hand.
struct ChecksumCase {
    const char* name;
    Bytes bytes;
    size_t field;
    uint32_t expected;
};

TEST(PeChecksum, SumsByHand)
{
    const ChecksumCase cases[] = {
        {"odd_length", {0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},
        {"carry_folded", {0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 100, 0x0001 + 5},
        {"field_counts_zero", {0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x0010 + 0x0020 + 8},
        {"odd_field_offset", {1, 2, 3, 4, 5, 6, 7}, 1, 0x0001 + 0x0600 + 0x0007 + 7},
    };
    for (const ChecksumCase& c : cases) {
        EXPECT_EQ(ComputePeChecksum(c.bytes, c.field), c.expected) << c.name;
    }
}

// (e) The amd64 image: PE32+, with 64-bit image base, import slots and
// relocations, and an exception directory.
uint64_t Get64(const Bytes& b, size_t at)
{
    return Get32(b, at) | static_cast<uint64_t>(Get32(b, at + 4)) << 32;
}

const Bytes& Amd64ImageBytes()
{
    static const Bytes bytes = [] {
        std::ifstream in(QUARNHOLD_AMD64_IMAGE_PATH, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

// A PE32+ optional header's directories start 16 bytes later than a PE32's.
size_t Amd64DirectoryAt(const Bytes& b, size_t index) { return OptionalAt(b) + 112 + index * 8; }

size_t Amd64FileOffsetOfRva(uint32_t rva)
{
    static const PeImage image = ParsePeImage(Amd64ImageBytes());
    for (const PeSection& s : image.sections) {
        if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawDataSize) {
            return s.rawDataOffset + (rva - s.virtualAddress);
        }
    }
    ADD_FAILURE() << "RVA not in the amd64 image";
    return 0;
}

size_t Amd64DirectoryDataAt(const Bytes& b, size_t index)
{
    return Amd64FileOffsetOfRva(Get32(b, Amd64DirectoryAt(b, index)));
}

TEST(PeImage, Amd64ImageReadsBack)
{
    const PeImage image = ReadPeImage(QUARNHOLD_AMD64_IMAGE_PATH);
    EXPECT_EQ(image.machine, 0x8664);
    EXPECT_EQ(image.magic, Pe32PlusMagic);
    EXPECT_TRUE(image.Is64Bit());
    EXPECT_EQ(image.imageBase, 0x140000000u);
    EXPECT_EQ(image.subsystem, 1);
    EXPECT_EQ(image.majorOperatingSystemVersion, 5);
    EXPECT_EQ(image.minorOperatingSystemVersion, 2);
    EXPECT_EQ(image.computedChecksum, image.headerChecksum);

    // Before binding, each 8-byte IAT slot holds the RVA of its hint and name.
    std::vector<std::string> names;
    for (const PeImport& i : image.imports) {
        EXPECT_EQ(i.library, "ntoskrnl.exe");
        const uint64_t thunk = Get64(image.file, Amd64FileOffsetOfRva(i.iatRva));
        ASSERT_LT(thunk, 0x80000000u) << i.name;
        const size_t hintName = Amd64FileOffsetOfRva(static_cast<uint32_t>(thunk));
        EXPECT_STREQ(reinterpret_cast<const char*>(&image.file[hintName + 2]), i.name.c_str());
        names.push_back(i.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"DbgPrint", "ZwClose", "ZwCreateFile", "ZwWriteFile"}));

    // Each DIR64 target is a pointer into the image at its preferred base:
    // the two names' Buffers.
    ASSERT_FALSE(image.relocationRvas.empty());
    for (const uint32_t rva : image.relocationRvas) {
        const uint64_t target = Get64(image.file, Amd64FileOffsetOfRva(rva));
        EXPECT_GE(target, image.imageBase) << rva;
        EXPECT_LT(target, image.imageBase + image.sizeOfImage) << rva;
    }

    // The exception directory: in order, apart, in executable code, with
    // the entry point inside one of them.
    ASSERT_TRUE(image.hasExceptionDirectory);
    ASSERT_FALSE(image.runtimeFunctions.empty());
    bool entryCovered = false;
    for (size_t i = 0; i < image.runtimeFunctions.size(); ++i) {
        const PeRuntimeFunction& f = image.runtimeFunctions[i];
        if (i > 0) EXPECT_GE(f.beginRva, image.runtimeFunctions[i - 1].endRva);
        const PeSection& text = image.sections.at(0);
        EXPECT_EQ(text.name, ".text");
        EXPECT_GE(f.beginRva, text.virtualAddress);
        EXPECT_LE(f.endRva, text.virtualAddress + text.virtualSize);
        entryCovered = entryCovered || (image.entryPointRva >= f.beginRva && image.entryPointRva < f.endRva);
    }
    EXPECT_TRUE(entryCovered);
    EXPECT_TRUE(KernelLoaderProblems(image, KnownImports).empty());
}

class CorruptedAmd64Image : public testing::TestWithParam<Corruption> {};

TEST_P(CorruptedAmd64Image, IsRefusedForTheRightReason)
{
    ExpectRefusal(GetParam(), Amd64ImageBytes());
}

// File offset of the first 8-byte entry of the first import lookup table.
size_t Amd64FirstLookupEntryAt(const Bytes& b)
{
    return Amd64FileOffsetOfRva(Get32(b, Amd64DirectoryDataAt(b, 1)));
}

void Put64(Bytes& b, size_t at, uint64_t v)
{
    Put32(b, at, static_cast<uint32_t>(v));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

const Corruption Amd64Corruptions[] = {
    {"optional_header_too_short", [](Bytes& b) { Put16(b, FileHeaderAt(b) + 16, 100); }, Outcome::ParseError,
     "optional header is 100 bytes, too short for PE32+"},
    // IMAGE_ORDINAL_FLAG64 is bit 63; bit 31 alone names a hint-name RVA.
    {"import_by_ordinal", [](Bytes& b) { Put64(b, Amd64FirstLookupEntryAt(b), 0x8000000000000005); },
     Outcome::ParseError, "by ordinal 5"},
    {"import_name_beyond_4gb", [](Bytes& b) { Put64(b, Amd64FirstLookupEntryAt(b), 0x0000000100002000); },
     Outcome::ParseError, "import name at RVA 0x100002000 is beyond 4 GB"},
    {"relocation_type_highlow", [](Bytes& b) { b[Amd64DirectoryDataAt(b, 5) + 8 + 1] = 0x30; },
     Outcome::ParseError, "has type 3, where a PE32+ image has only DIR64 (10)"},
    {"exception_directory_size_13", [](Bytes& b) { Put32(b, Amd64DirectoryAt(b, 3) + 4, 13); },
     Outcome::ParseError, "exception directory size 0xD is not a multiple of 12"},
    {"exception_entry_covers_nothing",
     [](Bytes& b) { Put32(b, Amd64DirectoryDataAt(b, 3) + 4, Get32(b, Amd64DirectoryDataAt(b, 3))); },
     Outcome::ParseError, "covers no code"},
    {"machine_i386", [](Bytes& b) { Put16(b, FileHeaderAt(b), 0x14C); }, Outcome::LoaderProblem,
     "machine 0x014C (i386) with a PE32+ optional header: an i386 image is PE32"},
    {"relocs_stripped_flag", [](Bytes& b) { b[FileHeaderAt(b) + 18] |= 0x01; }, Outcome::LoaderProblem,
     "mark the relocations stripped"},
    // RIP-relative code with no pointer in its data has nothing to relocate.
    {"relocation_directory_zeroed",
     [](Bytes& b) {
         Put32(b, Amd64DirectoryAt(b, 5), 0);
         Put32(b, Amd64DirectoryAt(b, 5) + 4, 0);
     },
     Outcome::Accepted, ""},
    {"entry_in_pdata", [](Bytes& b) { Put32(b, OptionalAt(b) + 16, 0x3000); }, Outcome::LoaderProblem,
     "entry point RVA 0x3000 is in section .pdata, which is not executable"},
};

INSTANTIATE_TEST_SUITE_P(PeImage, CorruptedAmd64Image, testing::ValuesIn(Amd64Corruptions),
                         [](const auto& info) { return info.param.name; });

// Moved into the amd64 kernel's space, the DIR64 targets move by the whole
// 64-bit delta and the 8-byte slots hold 64-bit addresses; nothing else
// changes.
TEST(MapImage, Amd64ImageRelocatesAndBindsEightBytes)
{
    constexpr uint64_t KernelBase = 0xFFFFF80000A00000;
    const std::map<std::string_view, uint64_t> addresses = {{"DbgPrint", 0xFFFFF80000401000},
                                                            {"ZwClose", 0xFFFFF80000402000},
                                                            {"ZwCreateFile", 0xFFFFF80000403000},
                                                            {"ZwWriteFile", 0xFFFFF80000404000}};
    const ImportResolver resolve = [&](std::string_view, std::string_view name) -> std::optional<uint64_t> {
        return addresses.at(name);
    };
    const PeImage image = ParsePeImage(Amd64ImageBytes());
    const MappedImage home = MapImage(image, image.imageBase, resolve);
    const MappedImage moved = MapImage(image, KernelBase, resolve);
    EXPECT_EQ(moved.entryPoint, KernelBase + image.entryPointRva);

    std::vector<bool> changed(moved.memory.size());
    for (const uint32_t rva : image.relocationRvas) {
        EXPECT_EQ(Get64(moved.memory, rva) - Get64(home.memory, rva), KernelBase - image.imageBase) << rva;
        std::fill_n(changed.begin() + rva, 8, true);
    }
    for (const PeImport& i : image.imports) {
        EXPECT_EQ(Get64(moved.memory, i.iatRva), addresses.at(i.name)) << i.name;
        EXPECT_EQ(Get64(home.memory, i.iatRva), addresses.at(i.name)) << i.name;
        std::fill_n(changed.begin() + i.iatRva, 8, true);
    }
    for (size_t i = 0; i < moved.memory.size(); ++i) {
        if (!changed[i]) ASSERT_EQ(moved.memory[i], home.memory[i]) << "byte " << i;
    }
}

}  // namespace
}  // namespace quarnhold::emulator
