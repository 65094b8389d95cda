// kernel_image_test.cpp
//
// The built quarnhold.sys is what a 32-bit NT kernel accepts as a driver,
// read twice: with the project's own reader, and with Debian's pefile and
// LLVM's PDB tool, so that a bug in our reader cannot hide a bad image.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
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

constexpr uint16_t MachineI386 = 0x14C;
constexpr uint16_t SubsystemNative = 1;
constexpr uint16_t FileDll = 0x2000;
constexpr uint16_t FileExecutableImage = 0x0002;
constexpr uint16_t FileRelocsStripped = 0x0001;

std::string Guid(const std::array<uint8_t, 16>& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

TEST(KernelImage, IsAnI386NativeDriverByOurReader)
{
    const emulator::PeImage image = emulator::ReadPeImage(BuiltImage());
    EXPECT_EQ(image.machine, MachineI386);
    EXPECT_EQ(image.subsystem, SubsystemNative);
    EXPECT_EQ(image.majorOperatingSystemVersion, 4);
    EXPECT_EQ(image.minorOperatingSystemVersion, 0);
    EXPECT_EQ(image.majorSubsystemVersion, 4);
    EXPECT_EQ(image.minorSubsystemVersion, 0);
    EXPECT_EQ(image.fileCharacteristics & FileDll, 0);
    EXPECT_NE(image.fileCharacteristics & FileExecutableImage, 0);
    EXPECT_EQ(image.fileCharacteristics & FileRelocsStripped, 0);
    EXPECT_NE(image.headerChecksum, 0u);
    EXPECT_EQ(image.headerChecksum, image.computedChecksum);
    EXPECT_FALSE(image.hasExportDirectory);
    EXPECT_FALSE(image.hasResourceDirectory);
    EXPECT_FALSE(image.relocationRvas.empty());

    // Only the four routines: a compiler's own helpers (memset, memcpy,
    // __chkstk, a stack cookie check) would show up here.
    ImportSet imports;
    for (const emulator::PeImport& import : image.imports) imports.insert({import.library, import.name});
    EXPECT_EQ(imports, ExpectedImports);
    EXPECT_EQ(image.imports.size(), ExpectedImports.size());

    EXPECT_TRUE(emulator::KernelLoaderProblems(image, emulator::KnownKernelImports).empty());
}

TEST(KernelImage, PefileAgreesWithOurReader)
{
    const emulator::PeImage ours = emulator::ReadPeImage(BuiltImage());
    CommandResult run = RunCommand({"/usr/bin/python3", QUARNHOLD_SOURCE_DIR "/tests/image_facts.py", BuiltImage()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json theirs = nlohmann::json::parse(run.out);

    EXPECT_EQ(theirs["machine"], ours.machine);
    EXPECT_EQ(theirs["magic"], 0x10B);  // PE32
    EXPECT_EQ(theirs["characteristics"], ours.fileCharacteristics);
    EXPECT_EQ(theirs["subsystem"], SubsystemNative);
    EXPECT_EQ(theirs["osVersion"], nlohmann::json::array({4, 0}));
    EXPECT_EQ(theirs["subsystemVersion"], nlohmann::json::array({4, 0}));
    EXPECT_EQ(theirs["entryPoint"], ours.entryPointRva);
    EXPECT_EQ(theirs["imageBase"], ours.imageBase);
    EXPECT_EQ(theirs["checksum"], ours.headerChecksum);
    EXPECT_EQ(theirs["checksumValid"], true);
    EXPECT_EQ(theirs["exports"], false);
    EXPECT_EQ(theirs["resources"], false);
    EXPECT_EQ(theirs["relocations"], ours.relocationRvas.size());

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
// CodeView record; and the PDB names the entry point: DriverEntry, with the
// stdcall decoration of its 8 bytes of arguments.
TEST(KernelImage, PdbMatchesAndNamesTheStdcallEntryPoint)
{
    const emulator::PeImage image = emulator::ReadPeImage(BuiltImage());
    ASSERT_TRUE(image.codeView);
    const std::string pdb = (BuiltImage().parent_path() / "quarnhold.pdb").string();

    CommandResult summary = RunCommand({"llvm-pdbutil", "dump", "-summary", pdb});
    ASSERT_EQ(summary.exitCode, 0) << summary.err;
    EXPECT_NE(summary.out.find("GUID: {" + Guid(image.codeView->guid) + "}"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("Age: " + std::to_string(image.codeView->age)), std::string::npos) << summary.out;

    CommandResult publics = RunCommand({"llvm-pdbutil", "dump", "-publics", pdb});
    ASSERT_EQ(publics.exitCode, 0) << publics.err;
    size_t entry = publics.out.find("`_DriverEntry@8`");
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

}  // namespace
}  // namespace quarnhold::tests
