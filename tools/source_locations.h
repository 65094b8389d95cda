// source_locations.h
//
// Where a run's guest addresses lie, as a driver developer reads them: the
// image's file name and the offset from its base ("quarnhold.sys+0x10B1",
// as a debugger writes module+offset), and the source line when the PDB
// beside the image knows it ("steps/write_test_file.cpp:72").

#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/driver_image_run.h"
#include "emulator/pe_image.h"
#include "testbed/kernel_model.h"
#include "tools/pdb_lines.h"

namespace quarnhold::tools {

// The image a run mapped, as the report names addresses in it.
struct MappedImageFile {
    std::filesystem::path path;  // as given on the command line
    std::optional<emulator::CodeViewRecord> codeView;
    uint64_t base = 0;  // where the run mapped it
    uint32_t size = 0;  // SizeOfImage
};

class SourceLocations {
public:
    // No image: every address shows as a bare address.
    SourceLocations() = default;
    explicit SourceLocations(MappedImageFile image) : image_(std::move(image)) {}

    // Looks up the source lines of the code at these RVAs, all in one run of
    // the PDB's reader. A return address is looked up one byte back, in the
    // call it returns from: the line after a call is not the call's.
    void LookUp(const std::vector<uint32_t>& instructionRvas, const std::vector<uint32_t>& returnRvas);

    std::optional<uint32_t> Rva(uint64_t address) const;
    // The source line of the instruction at `rva` or, for a return address,
    // of the call before it; nothing when it is not known.
    const SourceLine* Line(uint32_t rva, bool returnAddress) const;

    // "quarnhold.sys+0x10B1": the image's file name and the offset in it.
    std::string NameRva(uint32_t rva) const;
    // "quarnhold.sys+0x10B1 (steps/write_test_file.cpp:72)", without the
    // line when it is not known; a bare "0x12345678" outside the image.
    std::string Describe(uint64_t address, bool returnAddress = false) const;
    std::string DescribeRva(uint32_t rva, bool returnAddress = false) const;

    // Why no source lines were found, once they were looked for: "no
    // quarnhold.pdb beside the image". Empty when they were, or when none
    // were looked for.
    const std::string& WhyNoLines() const { return whyNoLines_; }

private:
    std::optional<MappedImageFile> image_;
    std::map<uint32_t, SourceLine> lines_;  // by the RVA looked up
    std::string whyNoLines_;
};

// The locations a run's report names: each kernel call's caller when
// `calls` is set, and the fault's addresses, looked up at once.
SourceLocations LocateRun(MappedImageFile image, const std::vector<testbed::KernelCall>& calls, bool withCalls,
                          const std::optional<emulator::GuestFault>& fault);

// "<what> (at <where>, reached from <where>); last kernel call: ZwWriteFile,
// called from <where>": emulator::DescribeGuestFault with each address
// named in the image and its sources.
std::string DescribeGuestFault(const emulator::GuestFault& fault, const SourceLocations& locations);

}  // namespace quarnhold::tools
