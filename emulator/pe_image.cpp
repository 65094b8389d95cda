// pe_image.cpp
//
// The PE32 and PE32+ reader: headers, section table, imports, base
// relocations, the exception directory and the CodeView record. Every offset and size from the file is checked in 64-bit
// arithmetic before it is used, and every loop is bounded by the file's data.

#include "emulator/pe_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <system_error>

#include "emulator/hex_text.h"
#include "emulator/le_bytes.h"

namespace quarnhold::emulator {
namespace {

// Header layout, in bytes.
constexpr uint64_t DosHeaderSize = 64;
constexpr uint64_t NewHeaderOffsetField = 0x3C;
constexpr uint64_t FileHeaderSize = 20;
constexpr uint64_t Pe32FixedSize = 96;       // the PE32 optional header before its data directories
constexpr uint64_t Pe32PlusFixedSize = 112;  // the PE32+ one, with its 64-bit fields
constexpr uint64_t ChecksumField = 64;  // within the optional header
constexpr uint64_t SectionHeaderSize = 40;
constexpr uint64_t ImportDescriptorSize = 20;
constexpr uint64_t DebugEntrySize = 28;
constexpr uint64_t CodeViewFixedSize = 24;  // "RSDS", GUID, age
constexpr uint64_t RuntimeFunctionSize = 12;

constexpr uint32_t DebugTypeCodeView = 2;
constexpr unsigned RelocationAbsolute = 0;
constexpr unsigned RelocationHighLow = 3;
constexpr unsigned RelocationDir64 = 10;

// Caps that keep a corrupt file from costing much: 96 is the NT loader's own
// section limit; no driver comes near the import or name limits.
constexpr uint64_t MaxSections = 96;
constexpr size_t MaxImports = 16384;
constexpr size_t MaxNameLength = 512;

enum DirectoryIndex : size_t {
    ExportDirectory = 0,
    ImportDirectory = 1,
    ResourceDirectory = 2,
    ExceptionDirectory = 3,
    RelocationDirectory = 5,
    DebugDirectory = 6,
    DirectoryCount = 16,
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// What the headers locate for the later steps.
struct HeaderFacts {
    uint64_t checksumOffset = 0;
    uint64_t sectionTableOffset = 0;
    uint16_t sectionCount = 0;
    std::array<DataDirectory, DirectoryCount> directories{};
};

// Bytes found through an RVA, and what holds them, for messages.
struct RvaData {
    std::span<const uint8_t> bytes;
    std::string holder;
};

// Throws the one-line ImageError every check below ends in.
// Used instead of a bare throw so each site reads as a sentence.
[[noreturn]] void Fail(const std::string& message)
{
    throw ImageError(message);
}

// The file bytes [offset, offset + size), or "file ends inside <what>".
// Used for every structure located by a file offset.
std::span<const uint8_t> FileBytes(std::span<const uint8_t> file, uint64_t offset, uint64_t size,
                                   std::string_view what)
{
    if (offset > file.size() || size > file.size() - offset) {
        Fail("file ends inside " + std::string(what));
    }
    return file.subspan(offset, size);
}

// The file bytes from `rva` to the end of the file data of the section, or
// the headers, that hold it. Used to reach anything located by an RVA.
RvaData RvaTail(const PeImage& image, uint32_t rva, const std::string& what)
{
    const std::span<const uint8_t> file = image.file;
    for (const PeSection& section : image.sections) {
        if (rva < section.virtualAddress || rva - section.virtualAddress >= SectionMappedSize(section)) {
            continue;
        }
        const uint32_t into = rva - section.virtualAddress;
        if (into >= SectionFileSize(section)) {
            Fail(what + " at RVA " + Hex(rva) + " lies in the zero-filled part of section " + section.name);
        }
        // The section table check made rawDataOffset + rawDataSize fit the file.
        return {file.subspan(uint64_t{section.rawDataOffset} + into, SectionFileSize(section) - into),
                "section " + section.name};
    }
    if (rva < image.sizeOfHeaders) {
        return {file.subspan(rva, image.sizeOfHeaders - rva), "the headers"};
    }
    Fail(what + " at RVA " + Hex(rva) + " is not inside any section");
}

// Exactly `size` bytes at `rva`, all within one section's file data.
// Used for fixed-size structures: descriptors, thunks, directories.
std::span<const uint8_t> RvaBytes(const PeImage& image, uint64_t rva, uint64_t size, const std::string& what)
{
    if (rva > UINT32_MAX) {
        Fail(what + " at RVA " + Hex(rva) + " is beyond 4 GB");
    }
    const RvaData data = RvaTail(image, static_cast<uint32_t>(rva), what);
    if (size > data.bytes.size()) {
        Fail(what + " at RVA " + Hex(rva) + " runs past the end of " + data.holder);
    }
    return data.bytes.first(size);
}

// The NUL-terminated printable name `skip` bytes past `rva` (2 skips a hint).
// Used for library and routine names, which end up in error messages.
std::string ReadName(const PeImage& image, uint64_t rva, const std::string& what, size_t skip = 0)
{
    if (rva > UINT32_MAX) {
        Fail(what + " at RVA " + Hex(rva) + " is beyond 4 GB");
    }
    const RvaData data = RvaTail(image, static_cast<uint32_t>(rva), what);
    if (data.bytes.size() < skip) {
        Fail(what + " at RVA " + Hex(rva) + " runs past the end of " + data.holder);
    }
    const auto tail = data.bytes.subspan(skip);
    const std::span<const uint8_t> window = tail.first(std::min(tail.size(), MaxNameLength + 1));
    const auto nul = std::find(window.begin(), window.end(), uint8_t{0});
    if (nul == window.end()) {
        Fail(what + " at RVA " + Hex(rva) +
             (tail.size() > MaxNameLength ? " is longer than 512 characters" : " has no terminating NUL"));
    }
    std::string name(window.begin(), nul);
    if (name.empty()) {
        Fail(what + " at RVA " + Hex(rva) + " is empty");
    }
    for (const char c : name) {
        if (c < 0x20 || c > 0x7E) {
            Fail(what + " at RVA " + Hex(rva) + " has the unprintable byte " + Hex(uint8_t(c), 2));
        }
    }
    return name;
}

// Reads the DOS, COFF file and optional headers into `image`.
// Used first; locates the section table, checksum field and directories.
HeaderFacts ParseHeaders(std::span<const uint8_t> file, PeImage& image)
{
    const auto dos = FileBytes(file, 0, DosHeaderSize, "the DOS header");
    if (dos[0] != 'M' || dos[1] != 'Z') {
        Fail("no MZ signature");
    }
    const uint64_t peOffset = LoadLe32(dos, NewHeaderOffsetField);
    if (peOffset + 4 > file.size()) {
        Fail("PE header offset " + Hex(peOffset) + " is past the end of the file");
    }
    const auto signature = file.subspan(peOffset, 4);
    if (signature[0] != 'P' || signature[1] != 'E' || signature[2] != 0 || signature[3] != 0) {
        Fail("no PE signature at offset " + Hex(peOffset));
    }

    const auto header = FileBytes(file, peOffset + 4, FileHeaderSize, "the COFF file header");
    image.machine = LoadLe16(header, 0);
    const uint16_t sectionCount = LoadLe16(header, 2);
    image.timeDateStamp = LoadLe32(header, 4);
    const uint16_t optionalSize = LoadLe16(header, 16);
    image.fileCharacteristics = LoadLe16(header, 18);

    const uint64_t optionalOffset = peOffset + 4 + FileHeaderSize;
    const auto optional = FileBytes(file, optionalOffset, optionalSize, "the optional header");
    if (optionalSize < 2) {
        Fail("optional header is " + std::to_string(optionalSize) + " bytes, too short for PE32");
    }
    image.magic = LoadLe16(optional, 0);
    if (image.magic != Pe32Magic && image.magic != Pe32PlusMagic) {
        Fail("optional header magic " + Hex(image.magic, 4) + " is neither PE32 (0x010B) nor PE32+ (0x020B)");
    }
    // PE32+ widens the image base and the stack and heap sizes to 64 bits
    // and drops BaseOfData, which moves the directories 16 bytes on.
    const bool wide = image.Is64Bit();
    const uint64_t fixedSize = wide ? Pe32PlusFixedSize : Pe32FixedSize;
    const char* format = wide ? "PE32+" : "PE32";
    if (optionalSize < fixedSize) {
        Fail("optional header is " + std::to_string(optionalSize) + " bytes, too short for " + format);
    }
    image.entryPointRva = LoadLe32(optional, 16);
    image.imageBase =
        wide ? uint64_t{LoadLe32(optional, 24)} | uint64_t{LoadLe32(optional, 28)} << 32 : LoadLe32(optional, 28);
    image.sectionAlignment = LoadLe32(optional, 32);
    image.fileAlignment = LoadLe32(optional, 36);
    image.majorOperatingSystemVersion = LoadLe16(optional, 40);
    image.minorOperatingSystemVersion = LoadLe16(optional, 42);
    image.majorSubsystemVersion = LoadLe16(optional, 48);
    image.minorSubsystemVersion = LoadLe16(optional, 50);
    image.sizeOfImage = LoadLe32(optional, 56);
    image.sizeOfHeaders = LoadLe32(optional, 60);
    image.headerChecksum = LoadLe32(optional, ChecksumField);
    image.subsystem = LoadLe16(optional, 68);
    image.dllCharacteristics = LoadLe16(optional, 70);

    HeaderFacts facts;
    facts.checksumOffset = optionalOffset + ChecksumField;
    // Directories past the sixteen defined ones mean nothing to a loader.
    const uint32_t claimed = LoadLe32(optional, fixedSize - 4);
    const uint64_t used = std::min<uint64_t>(claimed, DirectoryCount);
    if (fixedSize + used * 8 > optionalSize) {
        Fail("optional header of " + std::to_string(optionalSize) + " bytes has no room for " +
             std::to_string(claimed) + " data directories");
    }
    for (uint64_t i = 0; i < used; ++i) {
        const uint64_t at = fixedSize + i * 8;
        facts.directories[i] = {LoadLe32(optional, at), LoadLe32(optional, at + 4)};
    }

    if (sectionCount > MaxSections) {
        Fail(std::to_string(sectionCount) + " sections, more than the 96 a loader accepts");
    }
    facts.sectionCount = sectionCount;
    facts.sectionTableOffset = optionalOffset + optionalSize;
    const uint64_t tableEnd = facts.sectionTableOffset + sectionCount * SectionHeaderSize;
    FileBytes(file, facts.sectionTableOffset, sectionCount * SectionHeaderSize, "the section table");
    if (image.sizeOfHeaders > file.size()) {
        Fail("headers (" + Hex(image.sizeOfHeaders) + " bytes) run past the end of the file");
    }
    if (tableEnd > image.sizeOfHeaders) {
        Fail("section table ends at " + Hex(tableEnd) + ", past the size of headers " + Hex(image.sizeOfHeaders));
    }
    if (image.sizeOfImage > MaxImageSize) {
        Fail("size of image " + Hex(image.sizeOfImage) + " is over the 64 MiB limit");
    }
    return facts;
}

// Reads the section table and checks each section's raw data fits the file.
// Used right after the headers; every RVA lookup depends on it.
void ParseSections(std::span<const uint8_t> file, const HeaderFacts& facts, PeImage& image)
{
    for (uint64_t i = 0; i < facts.sectionCount; ++i) {
        const auto header = file.subspan(facts.sectionTableOffset + i * SectionHeaderSize, SectionHeaderSize);
        PeSection section;
        const auto nameBytes = header.first(8);
        section.name.assign(nameBytes.begin(), std::find(nameBytes.begin(), nameBytes.end(), uint8_t{0}));
        for (const char c : section.name) {
            if (c < 0x20 || c > 0x7E) {
                Fail("section " + std::to_string(i + 1) + " has the unprintable byte " + Hex(uint8_t(c), 2) +
                     " in its name");
            }
        }
        section.virtualSize = LoadLe32(header, 8);
        section.virtualAddress = LoadLe32(header, 12);
        section.rawDataSize = LoadLe32(header, 16);
        section.rawDataOffset = LoadLe32(header, 20);
        section.characteristics = LoadLe32(header, 36);
        if (section.rawDataSize != 0 &&
            uint64_t{section.rawDataOffset} + section.rawDataSize > file.size()) {
            Fail("section " + section.name + " runs past the end of the file");
        }
        image.sections.push_back(std::move(section));
    }
}

// Reads the import descriptors and their name thunks into image.imports:
// 4-byte thunks in a PE32 image, 8-byte ones in a PE32+. Refuses imports by
// ordinal, which the emulator cannot bind.
void ParseImports(const DataDirectory& directory, PeImage& image)
{
    if (directory.rva == 0) {
        return;
    }
    // Each descriptor and thunk lies in the file, so both loops end within it.
    for (uint64_t index = 0;; ++index) {
        const uint64_t descriptorRva = directory.rva + index * ImportDescriptorSize;
        const auto descriptor = RvaBytes(image, descriptorRva, ImportDescriptorSize, "import descriptor");
        if (std::all_of(descriptor.begin(), descriptor.end(), [](uint8_t b) { return b == 0; })) {
            return;
        }
        const uint32_t lookupRva = LoadLe32(descriptor, 0);
        const uint32_t nameRva = LoadLe32(descriptor, 12);
        const uint32_t iatRva = LoadLe32(descriptor, 16);
        if (nameRva == 0) {
            Fail("import descriptor at RVA " + Hex(descriptorRva) + " has no library name");
        }
        const std::string library = ReadName(image, nameRva, "import library name");
        if (iatRva == 0) {
            Fail("imports from " + library + " have no import address table");
        }
        // Without a lookup table the names are read from the unbound IAT.
        const uint64_t thunkBase = lookupRva != 0 ? lookupRva : iatRva;
        const uint32_t width = image.PointerBytes();
        // IMAGE_ORDINAL_FLAG32 or IMAGE_ORDINAL_FLAG64: the thunk's top bit.
        const uint64_t ordinalFlag = uint64_t{1} << (8 * width - 1);
        for (uint64_t slot = 0;; ++slot) {
            const uint64_t thunkRva = thunkBase + slot * width;
            const auto thunkBytes = RvaBytes(image, thunkRva, width, "import lookup entry");
            const uint64_t thunk =
                width == 8 ? uint64_t{LoadLe32(thunkBytes, 0)} | uint64_t{LoadLe32(thunkBytes, 4)} << 32
                           : LoadLe32(thunkBytes, 0);
            if (thunk == 0) {
                break;
            }
            if (image.imports.size() == MaxImports) {
                Fail("more than " + std::to_string(MaxImports) + " imports");
            }
            if ((thunk & ordinalFlag) != 0) {
                Fail("import " + std::to_string(slot + 1) + " from " + library + " is by ordinal " +
                     std::to_string(thunk & 0xFFFF) + "; only imports by name are supported");
            }
            PeImport entry;
            entry.library = library;
            // The hint-name RVA is 31 bits in either width.
            entry.name = ReadName(image, thunk, "import name", 2);
            const uint64_t slotRva = iatRva + slot * width;
            if (slotRva > UINT32_MAX - (width - 1)) {
                Fail("import address slot for " + library + "!" + entry.name + " is beyond 4 GB");
            }
            entry.iatRva = static_cast<uint32_t>(slotRva);
            image.imports.push_back(std::move(entry));
        }
    }
}

// Reads the base relocation blocks, keeping HIGHLOW targets of a PE32 image
// and DIR64 targets of a PE32+. Any other type but ABSOLUTE padding is
// refused: an i386 image has only the one, an amd64 image the other.
void ParseRelocations(const DataDirectory& directory, PeImage& image)
{
    image.hasRelocationDirectory = directory.rva != 0 && directory.size != 0;
    if (!image.hasRelocationDirectory) {
        return;
    }
    const auto data = RvaBytes(image, directory.rva, directory.size, "base relocation directory");
    const unsigned expected = image.Is64Bit() ? RelocationDir64 : RelocationHighLow;
    const std::string expectedName = image.Is64Bit() ? "a PE32+ image has only DIR64 (10)"
                                                     : "a PE32 image has only HIGHLOW (3)";
    for (uint64_t offset = 0; offset < data.size();) {
        const uint64_t blockRva = directory.rva + offset;
        if (data.size() - offset < 8) {
            Fail("relocation block at RVA " + Hex(blockRva) + " is cut off by the end of the directory");
        }
        const uint32_t pageRva = LoadLe32(data, offset);
        const uint32_t blockSize = LoadLe32(data, offset + 4);
        // Blocks start on 32-bit boundaries, so sizes are multiples of four.
        if (blockSize < 8 || blockSize % 4 != 0) {
            Fail("relocation block at RVA " + Hex(blockRva) + " has size " + std::to_string(blockSize));
        }
        if (blockSize > data.size() - offset) {
            Fail("relocation block at RVA " + Hex(blockRva) + " runs past the end of the directory");
        }
        for (uint64_t entry = offset + 8; entry < offset + blockSize; entry += 2) {
            const uint16_t value = LoadLe16(data, entry);
            const unsigned type = value >> 12;
            const uint64_t target = uint64_t{pageRva} + (value & 0xFFF);
            if (type == RelocationAbsolute) {
                continue;
            }
            if (type != expected) {
                Fail("relocation at RVA " + Hex(target) + " has type " + std::to_string(type) + ", where " +
                     expectedName);
            }
            if (target > UINT32_MAX) {
                Fail("relocation at RVA " + Hex(target) + " is beyond 4 GB");
            }
            image.relocationRvas.push_back(static_cast<uint32_t>(target));
        }
        offset += blockSize;
    }
}

// Reads a PE32+ image's RUNTIME_FUNCTION entries, each a function's code
// range and the RVA of its unwind information; a PE32 image's directory is
// left alone, as an i386 loader leaves it.
void ParseExceptionDirectory(const DataDirectory& directory, PeImage& image)
{
    image.hasExceptionDirectory = image.Is64Bit() && directory.rva != 0 && directory.size != 0;
    if (!image.hasExceptionDirectory) {
        return;
    }
    if (directory.size % RuntimeFunctionSize != 0) {
        Fail("exception directory size " + Hex(directory.size) + " is not a multiple of 12");
    }
    const auto entries = RvaBytes(image, directory.rva, directory.size, "exception directory");
    for (uint64_t offset = 0; offset < entries.size(); offset += RuntimeFunctionSize) {
        PeRuntimeFunction function{LoadLe32(entries, offset), LoadLe32(entries, offset + 4),
                                   LoadLe32(entries, offset + 8)};
        if (function.endRva <= function.beginRva) {
            Fail("exception directory entry at RVA " + Hex(directory.rva + offset) + " covers no code (" +
                 Hex(function.beginRva) + " to " + Hex(function.endRva) + ")");
        }
        image.runtimeFunctions.push_back(function);
    }
}

// Fills image.codeView from the first RSDS CodeView entry of the debug
// directory. Other entry types and older CodeView formats are passed over.
void ParseDebugDirectory(const DataDirectory& directory, PeImage& image)
{
    if (directory.rva == 0 || directory.size == 0) {
        return;
    }
    if (directory.size % DebugEntrySize != 0) {
        Fail("debug directory size " + Hex(directory.size) + " is not a multiple of 28");
    }
    const auto entries = RvaBytes(image, directory.rva, directory.size, "debug directory");
    for (uint64_t offset = 0; offset < entries.size() && !image.codeView; offset += DebugEntrySize) {
        const auto entry = entries.subspan(offset, DebugEntrySize);
        if (LoadLe32(entry, 12) != DebugTypeCodeView) {
            continue;
        }
        const uint32_t size = LoadLe32(entry, 16);
        const uint32_t rva = LoadLe32(entry, 20);
        const uint32_t fileOffset = LoadLe32(entry, 24);
        // The file offset is what a debugger reads; an unset one falls back to the RVA.
        const auto record = fileOffset != 0 ? FileBytes(image.file, fileOffset, size, "the CodeView record")
                                            : RvaBytes(image, rva, size, "CodeView record");
        if (record.size() < 4 || LoadLe32(record, 0) != 0x53445352) {  // "RSDS"
            continue;
        }
        if (record.size() <= CodeViewFixedSize) {
            Fail("CodeView record of " + std::to_string(size) + " bytes has no room for a PDB path");
        }
        CodeViewRecord codeView;
        std::copy_n(record.begin() + 4, codeView.guid.size(), codeView.guid.begin());
        codeView.age = LoadLe32(record, 20);
        const auto path = record.subspan(CodeViewFixedSize);
        const auto nul = std::find(path.begin(), path.end(), uint8_t{0});
        if (nul == path.end()) {
            Fail("CodeView PDB path has no terminating NUL");
        }
        codeView.pdbPath.assign(path.begin(), nul);
        image.codeView = std::move(codeView);
    }
}

}  // namespace

PeImage ParsePeImage(std::span<const uint8_t> file)
{
    if (file.size() > MaxImageSize) {
        Fail("file of " + std::to_string(file.size()) + " bytes is over the 64 MiB limit");
    }
    return ParsePeImage(std::vector<uint8_t>(file.begin(), file.end()));
}

PeImage ParsePeImage(std::vector<uint8_t>&& file)
{
    if (file.size() > MaxImageSize) {
        Fail("file of " + std::to_string(file.size()) + " bytes is over the 64 MiB limit");
    }
    PeImage image;
    image.file = std::move(file);
    const HeaderFacts facts = ParseHeaders(image.file, image);
    ParseSections(image.file, facts, image);
    image.computedChecksum = ComputePeChecksum(image.file, facts.checksumOffset);

    const auto& directories = facts.directories;
    const auto present = [](const DataDirectory& d) { return d.rva != 0 && d.size != 0; };
    image.hasExportDirectory = present(directories[ExportDirectory]);
    image.hasResourceDirectory = present(directories[ResourceDirectory]);
    ParseImports(directories[ImportDirectory], image);
    ParseExceptionDirectory(directories[ExceptionDirectory], image);
    ParseRelocations(directories[RelocationDirectory], image);
    ParseDebugDirectory(directories[DebugDirectory], image);
    return image;
}

PeImage ReadPeImage(const std::filesystem::path& path)
{
    // The host's own reason, as "Permission denied (EACCES)".
    const auto cannotRead = [&](int error) {
        const char* name = strerrorname_np(error);
        Fail("cannot read " + path.string() + ": " + std::strerror(error) + " (" +
             (name != nullptr ? name : std::to_string(error)) + ")");
    };
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) cannotRead(errno);
    struct ClosedAtEnd {
        int fd;
        ~ClosedAtEnd() { close(fd); }
    } closed{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0) cannotRead(errno);
    if (S_ISDIR(info.st_mode)) cannotRead(EISDIR);
    const auto size = static_cast<uintmax_t>(info.st_size);
    if (size > MaxImageSize) {
        Fail(path.string() + " is " + std::to_string(size) + " bytes, over the 64 MiB limit");
    }
    std::vector<uint8_t> bytes(size);
    for (size_t done = 0; done < bytes.size();) {
        ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) cannotRead(errno);
        if (got == 0)
            Fail("cannot read " + path.string() + ": it ended after " + std::to_string(done) + " of " +
                 std::to_string(size) + " bytes");
        done += static_cast<size_t>(got);
    }
    return ParsePeImage(std::move(bytes));
}

uint32_t ComputePeChecksum(std::span<const uint8_t> file, size_t checksumFieldOffset)
{
    // The stored checksum cannot be part of what it sums, so its four bytes
    // count as zero wherever they fall.
    const auto byteAt = [&](size_t i) -> uint32_t {
        const bool inField = i >= checksumFieldOffset && i - checksumFieldOffset < 4;
        return inField ? 0 : file[i];
    };
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        const uint32_t high = i + 1 < file.size() ? byteAt(i + 1) << 8 : 0;  // an odd last byte stands alone
        sum += byteAt(i) | high;
        sum = (sum & 0xFFFF) + (sum >> 16);  // end-around carry keeps the sum in 16 bits
    }
    return sum + static_cast<uint32_t>(file.size());
}

}  // namespace quarnhold::emulator
