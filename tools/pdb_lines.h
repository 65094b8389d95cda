// pdb_lines.h
//
// The source lines of addresses in a driver image, from the PDB that lies
// beside it. LLVM reads the PDB (llvm-symbolizer for the lines, llvm-pdbutil
// for its GUID and age), each run once for all the addresses, as helper
// programs held to a time limit and a cap on their output: the image and the
// PDB may come from anywhere.

#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "emulator/pe_image.h"

namespace quarnhold::tools {

struct SourceLine {
    // As a developer opens it: relative to the checkout ("steps/write_test_file.cpp")
    // when the PDB names it relative to the source root, else as the PDB names it.
    std::string file;
    uint32_t line = 0;
    std::string function;  // as the PDB names it, e.g. "WriteTestFile(void)"; may be empty
};

// The PDB a debugger would load for `image`: the file named by its CodeView
// record, in the image's own folder. Nothing when the image names none.
std::optional<std::filesystem::path> PdbBeside(const std::filesystem::path& image,
                                               const std::optional<emulator::CodeViewRecord>& codeView);

// The source line of each RVA in `rvas` that the PDB knows, or, in one line,
// why there are none: no PDB beside the image, one built with another image
// (its GUID or age differ), no llvm-symbolizer, or a helper that failed.
std::variant<std::map<uint32_t, SourceLine>, std::string> LookUpSourceLines(
    const std::filesystem::path& image, const std::optional<emulator::CodeViewRecord>& codeView,
    const std::vector<uint32_t>& rvas);

// "steps/write_test_file.cpp" for the PDB's "quarnhold\steps\write_test_file.cpp";
// a name outside the source root as it is.
std::string CheckoutPath(const std::string& pdbName);

// "{2C4D1B84-0C01-995F-4C4C-44205044422E}": a CodeView GUID as PDB tools print it.
std::string GuidText(const std::array<uint8_t, 16>& guid);

}  // namespace quarnhold::tools
