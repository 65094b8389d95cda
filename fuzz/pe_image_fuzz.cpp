// pe_image_fuzz.cpp
//
// libFuzzer target for the PE reader, the loader checks and the mapper: any
// input may be refused with an ImageError, but nothing may crash, hang, leak
// or trip a sanitizer.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/pe_image.h"

using namespace quarnhold::emulator;

// Reads, checks and maps one input the way the emulator's loader would.
// Called by libFuzzer for every generated input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr std::string_view known[] = {"ZwCreateFile", "ZwWriteFile", "ZwClose", "DbgPrint"};
    try {
        const PeImage image = ParsePeImage(std::span(data, size));
        KernelLoaderProblems(image, known);
        // Binds everything, so the mapper's own checks are what get exercised;
        // at a kernel address of the image's own width.
        const uint64_t kernel = image.Is64Bit() ? 0xFFFFF80000000000 : 0x80000000;
        const auto anyName = [kernel](std::string_view, std::string_view name) -> std::optional<uint64_t> {
            return kernel + name.size();
        };
        MapImage(image, kernel + 0xA00000, anyName);
    } catch (const ImageError&) {
        // A refusal is a correct answer to a corrupt input.
    }
    return 0;
}
