// kernel_image_test.cpp
//
// Each built quarnhold.sys, i386 and amd64, is what its NT kernel accepts as
// a driver, read twice: with the project's own reader, and with Debian's
// pefile and LLVM's PDB tool, so that a bug in our reader cannot hide a bad
// image. And kernel/ itself refuses a target it has no branch for.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "emulator/kernel_image_checks.h"
#include "emulator/kernel_traps.h"
#include "emulator/pe_image.h"
#include "tests/support/command.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

using ImportSet = std::set<std::pair<std::string, std::string>>;

const ImportSet ExpectedImports{{"ntoskrnl.exe", "DbgPrint"},
                                {"ntoskrnl.exe", "ZwClose"},
                                {"ntoskrnl.exe", "ZwCreateFile"},
                                {"ntoskrnl.exe", "ZwWriteFile"}};

constexpr uint16_t SubsystemNative = 1;
constexpr uint16_t FileDll = 0x2000;
constexpr uint16_t FileExecutableImage = 0x0002;
constexpr uint16_t FileRelocsStripped = 0x0001;

// What each machine's image must say of itself.
struct Machine {
    std::string name;
    std::filesystem::path (*image)();
    uint16_t machine;
    uint16_t magic;
    std::vector<int> osVersion;
    std::string entryPublic;  // DriverEntry as the PDB's publics name it
    bool signedImage;
};

const Machine Machines[] = {
    // stdcall decorates DriverEntry with its 8 bytes of arguments.
    {"i386", BuiltImage, 0x14C, emulator::Pe32Magic, {4, 0}, "_DriverEntry@8", false},
    {"amd64", BuiltAmd64Image, 0x8664, emulator::Pe32PlusMagic, {5, 2}, "DriverEntry", true},
};

void PrintTo(const Machine& machine, std::ostream* out) { *out << machine.name; }

std::string Guid(const std::array<uint8_t, 16>& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

std::filesystem::path PdbOf(const std::filesystem::path& image) { return image.parent_path() / "quarnhold.pdb"; }

class KernelImage : public ::testing::TestWithParam<Machine> {};

TEST_P(KernelImage, IsANativeDriverByOurReader)
{
    const Machine& expected = GetParam();
    const emulator::PeImage image = emulator::ReadPeImage(expected.image());
    EXPECT_EQ(image.machine, expected.machine);
    EXPECT_EQ(image.magic, expected.magic);
    EXPECT_EQ(image.subsystem, SubsystemNative);
    EXPECT_EQ(image.majorOperatingSystemVersion, expected.osVersion[0]);
    EXPECT_EQ(image.minorOperatingSystemVersion, expected.osVersion[1]);
    EXPECT_EQ(image.majorSubsystemVersion, expected.osVersion[0]);
    EXPECT_EQ(image.minorSubsystemVersion, expected.osVersion[1]);
    EXPECT_EQ(image.fileCharacteristics & FileDll, 0);
    EXPECT_NE(image.fileCharacteristics & FileExecutableImage, 0);
    EXPECT_EQ(image.fileCharacteristics & FileRelocsStripped, 0);
    EXPECT_NE(image.headerChecksum, 0u);
    EXPECT_EQ(image.headerChecksum, image.computedChecksum);
    EXPECT_FALSE(image.hasExportDirectory);
    EXPECT_FALSE(image.hasResourceDirectory);
    EXPECT_FALSE(image.relocationRvas.empty());
    // 64-bit Windows unwinds through a driver with these.
    EXPECT_EQ(image.hasExceptionDirectory, image.Is64Bit());

    // Only the four routines: a compiler's own helpers (memset, memcpy,
    // __chkstk, a stack cookie check) would show up here.
    ImportSet imports;
    for (const emulator::PeImport& import : image.imports) imports.insert({import.library, import.name});
    EXPECT_EQ(imports, ExpectedImports);
    EXPECT_EQ(image.imports.size(), ExpectedImports.size());

    EXPECT_TRUE(emulator::KernelLoaderProblems(image, emulator::KnownKernelImports).empty());
}

TEST_P(KernelImage, PefileAgreesWithOurReader)
{
    const Machine& expected = GetParam();
    const emulator::PeImage ours = emulator::ReadPeImage(expected.image());
    CommandResult run =
        RunCommand({"/usr/bin/python3", QUARNHOLD_SOURCE_DIR "/tests/image_facts.py", expected.image()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json theirs = nlohmann::json::parse(run.out);

    EXPECT_EQ(theirs["machine"], ours.machine);
    EXPECT_EQ(theirs["magic"], expected.magic);
    EXPECT_EQ(theirs["characteristics"], ours.fileCharacteristics);
    EXPECT_EQ(theirs["subsystem"], SubsystemNative);
    EXPECT_EQ(theirs["osVersion"], nlohmann::json(expected.osVersion));
    EXPECT_EQ(theirs["subsystemVersion"], nlohmann::json(expected.osVersion));
    EXPECT_EQ(theirs["entryPoint"], ours.entryPointRva);
    EXPECT_EQ(theirs["imageBase"], ours.imageBase);
    EXPECT_EQ(theirs["checksum"], ours.headerChecksum);
    EXPECT_EQ(theirs["checksumValid"], true);
    EXPECT_EQ(theirs["exports"], false);
    EXPECT_EQ(theirs["resources"], false);
    EXPECT_EQ(theirs["relocations"], ours.relocationRvas.size());
    EXPECT_EQ(theirs["signed"], expected.signedImage);

    nlohmann::json runtimeFunctions = nlohmann::json::array();
    for (const emulator::PeRuntimeFunction& f : ours.runtimeFunctions) {
        runtimeFunctions.push_back({f.beginRva, f.endRva, f.unwindInfoRva});
    }
    EXPECT_EQ(theirs["runtimeFunctions"], runtimeFunctions);

    ImportSet imports;
    for (const auto& import : theirs["imports"]) imports.insert({import[0].get<std::string>(), import[1].get<std::string>()});
    EXPECT_EQ(imports, ExpectedImports);

    ASSERT_TRUE(ours.codeView);
    EXPECT_EQ(theirs["codeView"]["pdb"], "quarnhold.pdb");
    EXPECT_EQ(theirs["codeView"]["pdb"], ours.codeView->pdbPath);
    EXPECT_EQ(theirs["codeView"]["guid"], Guid(ours.codeView->guid));
    EXPECT_EQ(theirs["codeView"]["age"], ours.codeView->age);
}

// WinDbg loads quarnhold.pdb only when its GUID and age match the image's
// CodeView record; and the PDB names the entry point as the machine's
// convention decorates it.
TEST_P(KernelImage, PdbMatchesAndNamesTheEntryPoint)
{
    const Machine& expected = GetParam();
    const emulator::PeImage image = emulator::ReadPeImage(expected.image());
    ASSERT_TRUE(image.codeView);
    const std::string pdb = PdbOf(expected.image()).string();

    CommandResult summary = RunCommand({"llvm-pdbutil", "dump", "-summary", pdb});
    ASSERT_EQ(summary.exitCode, 0) << summary.err;
    EXPECT_NE(summary.out.find("GUID: {" + Guid(image.codeView->guid) + "}"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("Age: " + std::to_string(image.codeView->age)), std::string::npos) << summary.out;

    CommandResult publics = RunCommand({"llvm-pdbutil", "dump", "-publics", pdb});
    ASSERT_EQ(publics.exitCode, 0) << publics.err;
    size_t entry = publics.out.find("`" + expected.entryPublic + "`");
    ASSERT_NE(entry, std::string::npos) << publics.out;
    // "addr = 0001:0000": section 1, offset from its start.
    size_t addr = publics.out.find("addr = ", entry);
    ASSERT_NE(addr, std::string::npos);
    unsigned section = 0, offset = 0;
    ASSERT_EQ(std::sscanf(publics.out.c_str() + addr, "addr = %4u:%u", &section, &offset), 2);
    ASSERT_GE(section, 1u);
    ASSERT_LE(section, image.sections.size());
    EXPECT_EQ(image.sections[section - 1].virtualAddress + offset, image.entryPointRva);
    EXPECT_NE(image.sections[section - 1].characteristics & emulator::SectionExecute, 0u);
}

// Full debug information: the records' types with their sizes on the
// machine, and the routines' locals, so WinDbg can show them.
TEST_P(KernelImage, PdbHoldsTypesAndLocals)
{
    const Machine& expected = GetParam();
    const std::string pdb = PdbOf(expected.image()).string();
    CommandResult types = RunCommand({"llvm-pdbutil", "dump", "-types", pdb});
    ASSERT_EQ(types.exitCode, 0) << types.err;
    const std::string size = expected.magic == emulator::Pe32PlusMagic ? "48" : "24";
    EXPECT_TRUE(std::regex_search(types.out, std::regex("`_OBJECT_ATTRIBUTES`[^|]*sizeof " + size + "\\b")))
        << "no complete _OBJECT_ATTRIBUTES of " << size << " bytes";

    CommandResult symbols = RunCommand({"llvm-pdbutil", "dump", "-symbols", pdb});
    ASSERT_EQ(symbols.exitCode, 0) << symbols.err;
    for (const char* local : {"ObjectAttributes", "IoStatusBlock", "DirectoryHandle"}) {
        EXPECT_TRUE(std::regex_search(symbols.out, std::regex(std::string("S_LOCAL \\[size = \\d+\\] `") + local + "`")))
            << local;
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, KernelImage, ::testing::ValuesIn(Machines),
                         [](const ::testing::TestParamInfo<Machine>& info) { return info.param.name; });

// Every routine the PDB knows lies inside an entry of the amd64 image's
// exception directory, so 64-bit Windows can unwind through any of them.
TEST(Amd64KernelImage, ExceptionDirectoryCoversEveryFunction)
{
    const emulator::PeImage image = emulator::ReadPeImage(BuiltAmd64Image());
    CommandResult symbols = RunCommand({"llvm-pdbutil", "dump", "-symbols", PdbOf(BuiltAmd64Image()).string()});
    ASSERT_EQ(symbols.exitCode, 0) << symbols.err;

    // "S_GPROC32 [size = 52] `DriverEntry`" then "..., addr = 0001:0000, code size = 56".
    const std::regex procedure(R"(S_[GL]PROC32 \[size = \d+\] `([^`]+)`\s+[^\n]*addr = (\d+):(\d+), code size = (\d+))");
    std::vector<std::string> covered;
    for (auto match = std::sregex_iterator(symbols.out.begin(), symbols.out.end(), procedure);
         match != std::sregex_iterator(); ++match) {
        const std::string name = (*match)[1];
        const unsigned section = std::stoul((*match)[2]);
        ASSERT_GE(section, 1u);
        ASSERT_LE(section, image.sections.size());
        const uint32_t begin = image.sections[section - 1].virtualAddress + std::stoul((*match)[3]);
        const uint32_t end = begin + std::stoul((*match)[4]);
        const bool inside = std::any_of(image.runtimeFunctions.begin(), image.runtimeFunctions.end(),
                                        [&](const auto& f) { return f.beginRva <= begin && end <= f.endRva; });
        EXPECT_TRUE(inside) << name << " at RVA " << begin << " to " << end;
        covered.push_back(name);
    }
    std::sort(covered.begin(), covered.end());
    EXPECT_EQ(covered, (std::vector<std::string>{"CreateTestFile", "CreateWorkDirectory", "DriverEntry",
                                                 "WriteTestFile"}));
}

// kernel/ has a branch for i386, amd64 and the host build only: compiled for
// any other target, or for the host without saying so, the driver's headers
// stop with their own error instead of quietly taking the host's empty
// conventions and skipping every layout check.
TEST(KernelHeaders, RefuseATargetTheyHaveNoBranchFor)
{
    struct Target {
        std::vector<std::string> flags;
        bool compiles;
    };
    const Target targets[] = {
        {{"--target=i686-pc-windows-msvc"}, true},
        {{"--target=x86_64-pc-windows-msvc"}, true},
        {{"-DQUARNHOLD_HOST_BUILD=1"}, true},
        {{"--target=aarch64-pc-windows-msvc"}, false},
        {{"--target=x86_64-pc-linux-gnu"}, false},
    };
    for (const Target& target : targets) {
        std::vector<std::string> command = {QUARNHOLD_CLANGXX, "-std=c++20", "-fsyntax-only", "-ffreestanding",
                                            "-I" QUARNHOLD_SOURCE_DIR, "-x", "c++",
                                            QUARNHOLD_SOURCE_DIR "/kernel/kernel_services.h"};
        command.insert(command.begin() + 1, target.flags.begin(), target.flags.end());
        CommandResult compiled = RunCommand(command);
        SCOPED_TRACE(target.flags.front());
        EXPECT_EQ(compiled.exitCode == 0, target.compiles) << compiled.err;
        if (!target.compiles) {
            EXPECT_NE(compiled.err.find("kernel_types.h: unknown target"), std::string::npos) << compiled.err;
        }
    }
}

}  // namespace
}  // namespace quarnhold::tests
