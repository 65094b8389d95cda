// guest_code_fuzz.cpp
//
// libFuzzer target for everything that meets the guest's code: the CPU
// wrapper, the run's hooks, the import traps and the kernel model. Each
// input becomes the code of the real image (the start of its .text; the rest
// keeps the driver's own bytes), which is then checked, mapped and run on
// the emulated CPU for a bounded number of instructions over a scratch
// drive C. Whatever the code does, nothing here may crash, hang, leak or
// trip a sanitizer.
//
// The run happens in this process, not in quarnhold-run's worker process:
// libFuzzer learns coverage from this process's memory, and the sanitizers
// report here, so a run in a child would leave the fuzzer blind and hide
// its findings. Unicorn aborts on some invalid encodings it cannot
// translate; the tool survives those through its worker, and this target
// leaves out inputs that hold them (KnownAbortingEncoding). An abort in any
// other input is a finding: a new encoding for the list.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/driver_image_run.h"
#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/le_bytes.h"
#include "emulator/pe_image.h"
#include "testbed/kernel_model.h"
#include "testbed/scratch_disk.h"

namespace {

using namespace quarnhold;

// Far enough for the driver's own run (about 160 instructions) and for
// loops through the kernel routines, short enough to keep inputs fast.
constexpr uint64_t InstructionBudget = 2000;
// Inputs run on one CPU before a fresh one: its dropped translations then
// take at most some 10 MB.
constexpr uint64_t InputsPerCpu = 8192;

// Whether `opcode` (0x0F for a two-byte one, then `second`) with ModRM
// `modrm` may take a LOCK prefix: a read-modify-write of memory, as the i386
// manual lists them. Anything else with LOCK is #UD on a real CPU.
bool Lockable(uint8_t opcode, uint8_t second, uint8_t modrm)
{
    const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7;
    if (mod == 3) return false;  // LOCK needs a memory operand
    // ADD, OR, ADC, SBB, AND, SUB and XOR to memory (00 01 08 09 ... 30 31),
    // and XCHG.
    if ((opcode < 0x38 && (opcode & 7) <= 1) || opcode == 0x86 || opcode == 0x87) return true;
    if (opcode >= 0x80 && opcode <= 0x83) return reg != 7;              // the same with an immediate; not CMP
    if (opcode == 0xF6 || opcode == 0xF7) return reg == 2 || reg == 3;  // NOT, NEG
    if (opcode == 0xFE || opcode == 0xFF) return reg <= 1;              // INC, DEC
    if (opcode != 0x0F) return false;
    // BTS, BTR, BTC, CMPXCHG, XADD; BT* with an immediate; CMPXCHG8B.
    if (second == 0xAB || second == 0xB3 || second == 0xBB || second == 0xB0 || second == 0xB1 || second == 0xC0 ||
        second == 0xC1) {
        return true;
    }
    return (second == 0xBA && reg >= 5) || (second == 0xC7 && reg == 1);
}

// Whether `code` holds, at any offset, an encoding Unicorn 2.0.1 aborts on
// (it cannot translate them, where a real CPU raises #UD):
// - FF /3 and FF /5 with a register operand (FF D8..DF, FF E8..EF): far
//   calls and jumps through a register;
// - a LOCK prefix on what cannot take one; LOCK CMP with a memory operand
//   aborts, and any unlockable instruction is left out with it.
// Execution may enter the code anywhere, so every offset counts; and the
// code is looked at as mapped, since base relocations change its bytes.
bool KnownAbortingEncoding(std::span<const uint8_t> code)
{
    constexpr std::string_view Prefixes("\x66\x67\xF2\xF3\x2E\x36\x3E\x26\x64\x65\xF0", 11);
    const auto at = [&](size_t i) -> uint8_t { return i < code.size() ? code[i] : 0x90; };
    for (size_t i = 0; i < code.size(); ++i) {
        if (code[i] == 0xFF) {
            const uint8_t modrm = at(i + 1);
            const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7;
            if (mod == 3 && (reg == 3 || reg == 5)) return true;
        } else if (code[i] == 0xF0) {
            size_t next = i + 1;
            while (Prefixes.find(static_cast<char>(at(next))) != std::string_view::npos && next < code.size()) ++next;
            const uint8_t opcode = at(next);
            const bool twoByte = opcode == 0x0F;
            if (!Lockable(opcode, at(next + 1), at(next + (twoByte ? 2 : 1)))) return true;
        }
    }
    return false;
}

// The real image, and where its code and checksum lie in the file.
struct RealImage {
    std::vector<uint8_t> file;
    size_t codeOffset = 0;
    size_t codeSize = 0;
    size_t checksumOffset = 0;
};

const RealImage& LoadRealImage()
{
    static const RealImage real = [] {
        RealImage loaded;
        emulator::PeImage image = emulator::ReadPeImage(QUARNHOLD_IMAGE_PATH);
        for (const emulator::PeSection& section : image.sections) {
            if (section.name == ".text") {
                loaded.codeOffset = section.rawDataOffset;
                loaded.codeSize = emulator::SectionFileSize(section);
            }
        }
        // The PE32 optional header's CheckSum: 4 + 20 + 64 bytes past e_lfanew.
        loaded.checksumOffset = emulator::LoadLe32(image.file, 0x3C) + 4 + 20 + 64;
        loaded.file = std::move(image.file);
        return loaded;
    }();
    return real;
}

}  // namespace

// Builds the image with the input as its code, loads it as quarnhold-run
// would, and runs DriverEntry once. Called by libFuzzer for every input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const RealImage& real = LoadRealImage();
    std::vector<uint8_t> file = real.file;
    const std::span<uint8_t> code = std::span(file).subspan(real.codeOffset, real.codeSize);
    std::copy_n(data, std::min(size, code.size()), code.begin());
    const uint32_t checksum = emulator::ComputePeChecksum(file, real.checksumOffset);
    for (int i = 0; i < 4; ++i) file[real.checksumOffset + i] = static_cast<uint8_t>(checksum >> (8 * i));

    // One CPU for many inputs, the code replaced each time: a new CPU per
    // input would spend nearly all the time setting Unicorn up. Unicorn
    // does not reuse the space of translations it has dropped until its
    // 1 GiB buffer is full, so a fresh CPU every so many inputs keeps the
    // fuzzer's memory from growing towards that.
    static std::optional<emulator::DriverImageRunner> loaded;
    static uint64_t inputs = 0;
    if (inputs++ % InputsPerCpu == 0) {
        loaded.reset();
        loaded.emplace(emulator::ParsePeImage(real.file), emulator::RunLimits{InstructionBudget});
    }
    emulator::DriverImageRunner& runner = *loaded;
    static testbed::ScratchFolder driveC;
    testbed::Clear(driveC.path());
    try {
        const emulator::PeImage image = emulator::ParsePeImage(std::move(file));
        // The code as the runner will map it; the imports' addresses do not
        // matter here, they are bound outside the code.
        const emulator::MappedImage mapped = emulator::MapImage(
            image, runner.ImageBase(), [](std::string_view, std::string_view) { return std::optional<uint32_t>(0); });
        for (const emulator::MappedRegion& region : mapped.regions) {
            if (region.execute && KnownAbortingEncoding(std::span(mapped.memory).subspan(region.rva, region.size))) {
                return -1;  // not kept in the corpus
            }
        }
        runner.ReplaceImage(image);
    } catch (const emulator::ImageError&) {
        // Code bytes the loader refuses (none so far: the code's bytes are
        // not what it checks) are a correct answer.
        return 0;
    }
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    runner.Run(model);
    return 0;
}
