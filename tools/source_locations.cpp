// source_locations.cpp

#include "tools/source_locations.h"

#include <algorithm>

#include "emulator/hex_text.h"
#include "emulator/image_rva.h"

namespace quarnhold::tools {

void SourceLocations::LookUp(const std::vector<uint32_t>& instructionRvas, const std::vector<uint32_t>& returnRvas)
{
    if (!image_) return;
    std::vector<uint32_t> rvas = instructionRvas;
    for (uint32_t rva : returnRvas) {
        if (rva > 0) rvas.push_back(rva - 1);
    }
    std::sort(rvas.begin(), rvas.end());
    rvas.erase(std::unique(rvas.begin(), rvas.end()), rvas.end());
    if (rvas.empty()) return;
    auto found = LookUpSourceLines(image_->path, image_->codeView, rvas);
    if (std::string* why = std::get_if<std::string>(&found)) {
        whyNoLines_ = std::move(*why);
    } else {
        lines_ = std::move(std::get<std::map<uint32_t, SourceLine>>(found));
    }
}

std::optional<uint32_t> SourceLocations::Rva(uint64_t address) const
{
    if (!image_) return std::nullopt;
    return emulator::ImageRva(address, image_->base, image_->size);
}

const SourceLine* SourceLocations::Line(uint32_t rva, bool returnAddress) const
{
    if (returnAddress && rva == 0) return nullptr;
    const auto found = lines_.find(returnAddress ? rva - 1 : rva);
    return found == lines_.end() ? nullptr : &found->second;
}

std::string SourceLocations::Describe(uint64_t address, bool returnAddress) const
{
    const std::optional<uint32_t> rva = Rva(address);
    return rva ? DescribeRva(*rva, returnAddress) : emulator::HexAddress(address);
}

std::string SourceLocations::NameRva(uint32_t rva) const
{
    return (image_ ? image_->path.filename().string() : "image") + "+" + emulator::Hex(rva);
}

std::string SourceLocations::DescribeRva(uint32_t rva, bool returnAddress) const
{
    std::string text = NameRva(rva);
    if (const SourceLine* line = Line(rva, returnAddress)) {
        text += " (" + line->file + ":" + std::to_string(line->line) + ")";
    }
    return text;
}

SourceLocations LocateRun(MappedImageFile image, const std::vector<testbed::KernelCall>& calls, bool withCalls,
                          const std::optional<emulator::GuestFault>& fault)
{
    SourceLocations locations(std::move(image));
    std::vector<uint32_t> instructions, returns;
    if (withCalls) {
        for (const testbed::KernelCall& call : calls) {
            if (call.callerRva) returns.push_back(*call.callerRva);
        }
    }
    if (fault) {
        for (std::optional<uint64_t> address : {std::optional<uint64_t>(fault->address), fault->cameFrom}) {
            if (std::optional<uint32_t> rva = address ? locations.Rva(*address) : std::nullopt) {
                instructions.push_back(*rva);
            }
        }
        if (fault->lastCallReturnAddress) {
            if (std::optional<uint32_t> rva = locations.Rva(*fault->lastCallReturnAddress)) returns.push_back(*rva);
        }
    }
    locations.LookUp(instructions, returns);
    return locations;
}

std::string DescribeGuestFault(const emulator::GuestFault& fault, const SourceLocations& locations)
{
    std::string text = fault.what + " (at " + locations.Describe(fault.address);
    if (fault.cameFrom) text += ", reached from " + locations.Describe(*fault.cameFrom);
    text += "); last kernel call: ";
    if (fault.lastKernelCall.empty()) return text + "none";
    // "ZwWriteFile, called from 0x80A0115E": the routine, then where from.
    const size_t comma = fault.lastKernelCall.find(',');
    if (!fault.lastCallReturnAddress || comma == std::string::npos) return text + fault.lastKernelCall;
    return text + fault.lastKernelCall.substr(0, comma) + ", called from " +
           locations.Describe(*fault.lastCallReturnAddress, true);
}

}  // namespace quarnhold::tools
