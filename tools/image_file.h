// image_file.h
//
// The IMAGE named on quarnhold-run's command line: checked as an argument,
// then read and parsed.

#pragma once

#include <filesystem>
#include <optional>
#include <variant>

#include "emulator/pe_image.h"
#include "tools/exit_status.h"

namespace quarnhold::tools {

// Why `image` cannot be named as the image: it does not exist, or it is not
// a file (bad arguments); nothing when it can.
std::optional<Refusal> CheckImagePath(const std::filesystem::path& image);

// The parsed image, or why it cannot be used: no such file or not a file
// (bad arguments), or unreadable or corrupt (the run fails).
std::variant<emulator::PeImage, Refusal> ReadImageFile(const std::filesystem::path& image);

// "cannot load IMAGE: <why>", for a refusal that comes after reading, from
// the loader's checks or the mapping.
Refusal CannotLoad(const std::filesystem::path& image, const emulator::ImageError& refused);

}  // namespace quarnhold::tools
