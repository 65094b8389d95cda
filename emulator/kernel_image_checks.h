// kernel_image_checks.h
//
// What the NT loader insists on before it maps a driver image, plus what this
// project promises of its own image. Kept apart from the reader so a
// structurally sound image can still be refused with a precise reason.

#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/pe_image.h"

namespace quarnhold::emulator {

// Every problem that would stop a kernel loader mapping `image`, one line
// each: neither an i386 PE32 nor an amd64 PE32+ image, not the native
// subsystem, a DLL, a missing or wrong header checksum, relocations stripped
// (or, for i386, none), an entry point outside an executable section, or an
// import that is not one of `knownImports` from ntoskrnl.exe.
// Empty when the image is acceptable.
std::vector<std::string> KernelLoaderProblems(const PeImage& image,
                                              std::span<const std::string_view> knownImports);

// Throws ImageError naming the first problem KernelLoaderProblems finds.
void CheckKernelImage(const PeImage& image, std::span<const std::string_view> knownImports);

}  // namespace quarnhold::emulator
