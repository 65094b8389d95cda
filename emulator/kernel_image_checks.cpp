// kernel_image_checks.cpp
//
// The loader's refusals, each as one line naming the offending value, so a
// test or a person sees every reason at once rather than only the first.

#include "emulator/kernel_image_checks.h"

#include <algorithm>
#include <cctype>

#include "emulator/hex_text.h"

namespace quarnhold::emulator {
namespace {

constexpr uint16_t MachineI386 = 0x014C;
constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t SubsystemNative = 1;
constexpr uint16_t FileRelocsStripped = 0x0001;
constexpr uint16_t FileExecutableImage = 0x0002;
constexpr uint16_t FileDll = 0x2000;
constexpr std::string_view KernelLibrary = "ntoskrnl.exe";

// True when `a` and `b` are equal ignoring ASCII case.
// Used for library names, which Windows compares without case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// The section whose memory holds `rva`, if any.
// Used to judge where the entry point lands.
const PeSection* SectionHolding(const PeImage& image, uint32_t rva)
{
    for (const PeSection& section : image.sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < SectionMappedSize(section)) {
            return &section;
        }
    }
    return nullptr;
}

// Appends the header-level problems: machine, subsystem, kind of file.
// Used first, so the report reads from the outside of the image inwards.
void CheckHeaders(const PeImage& image, std::vector<std::string>& problems)
{
    // An i386 image is PE32 and an amd64 one PE32+; a loader refuses the
    // other pairings (and every other machine) before it reads further.
    if (image.machine == MachineI386 && image.Is64Bit()) {
        problems.push_back("machine 0x014C (i386) with a PE32+ optional header: an i386 image is PE32");
    } else if (image.machine == MachineAmd64 && !image.Is64Bit()) {
        problems.push_back("machine 0x8664 (amd64) with a PE32 optional header: an amd64 image is PE32+");
    } else if (image.machine != MachineI386 && image.machine != MachineAmd64) {
        problems.push_back("machine " + Hex(image.machine, 4) + " is neither i386 (0x014C) nor amd64 (0x8664)");
    }
    if (image.subsystem != SubsystemNative) {
        problems.push_back("subsystem " + std::to_string(image.subsystem) + " is not native (1)");
    }
    if ((image.fileCharacteristics & FileDll) != 0) {
        problems.push_back("file characteristics " + Hex(image.fileCharacteristics, 4) + " mark a DLL");
    }
    if ((image.fileCharacteristics & FileExecutableImage) == 0) {
        problems.push_back("file characteristics " + Hex(image.fileCharacteristics, 4) +
                           " lack the executable-image flag (0x0002)");
    }
    // The computed sum includes the file length, so it is never 0: a zero
    // header checksum always lands here too.
    if (image.headerChecksum != image.computedChecksum) {
        problems.push_back("header checksum " + Hex(image.headerChecksum, 8) + " does not match the file's " +
                           Hex(image.computedChecksum, 8));
    }
}

// Appends problems that stop the image being moved or entered: missing
// relocations, an entry point outside executable code.
void CheckRelocationsAndEntry(const PeImage& image, std::vector<std::string>& problems)
{
    if ((image.fileCharacteristics & FileRelocsStripped) != 0) {
        problems.push_back("file characteristics " + Hex(image.fileCharacteristics, 4) +
                           " mark the relocations stripped");
    }
    // i386 code reaches its data at absolute addresses, so an image without
    // relocations could only run at its preferred base, where a driver is
    // never loaded. amd64 code reaches it relative to RIP, and an image
    // with no pointer in its data has nothing to relocate: NT loads it as
    // it is unless it is marked stripped (LdrRelocateImageWithBias).
    if (!image.Is64Bit()) {
        if (!image.hasRelocationDirectory) {
            problems.push_back("no base relocation directory; the image could only load at " + Hex(image.imageBase));
        } else if (image.relocationRvas.empty()) {
            problems.push_back("base relocation directory has no HIGHLOW entries");
        }
    }
    const PeSection* entry = SectionHolding(image, image.entryPointRva);
    if (entry == nullptr) {
        problems.push_back("entry point RVA " + Hex(image.entryPointRva) + " is not inside any section");
    } else if ((entry->characteristics & SectionExecute) == 0) {
        problems.push_back("entry point RVA " + Hex(image.entryPointRva) + " is in section " + entry->name +
                           ", which is not executable");
    }
}

// Appends one problem per import the kernel cannot satisfy.
// Used last; the list of known routines comes from the caller.
void CheckImports(const PeImage& image, std::span<const std::string_view> knownImports,
                  std::vector<std::string>& problems)
{
    for (const PeImport& import : image.imports) {
        const std::string name = import.library + "!" + import.name;
        if (!EqualsIgnoringCase(import.library, KernelLibrary)) {
            problems.push_back("import " + name + " is not from ntoskrnl.exe");
        } else if (std::find(knownImports.begin(), knownImports.end(), import.name) == knownImports.end()) {
            problems.push_back("import " + name + " is not a known kernel routine");
        }
    }
}

}  // namespace

std::vector<std::string> KernelLoaderProblems(const PeImage& image, std::span<const std::string_view> knownImports)
{
    std::vector<std::string> problems;
    CheckHeaders(image, problems);
    CheckRelocationsAndEntry(image, problems);
    CheckImports(image, knownImports, problems);
    return problems;
}

void CheckKernelImage(const PeImage& image, std::span<const std::string_view> knownImports)
{
    const std::vector<std::string> problems = KernelLoaderProblems(image, knownImports);
    if (!problems.empty()) {
        throw ImageError(problems.front());
    }
}

}  // namespace quarnhold::emulator
