// image_file.cpp

#include "tools/image_file.h"

namespace quarnhold::tools {

namespace fs = std::filesystem;

std::optional<Refusal> CheckImagePath(const fs::path& image)
{
    std::error_code error;
    if (!fs::exists(image, error)) {
        return Refusal{ExitBadArguments, "no such image: " + image.string()};
    }
    if (!fs::is_regular_file(image, error)) {
        return Refusal{ExitBadArguments, image.string() + " is not a file"};
    }
    return std::nullopt;
}

std::variant<emulator::PeImage, Refusal> ReadImageFile(const fs::path& image)
{
    if (std::optional<Refusal> refused = CheckImagePath(image)) {
        return *refused;
    }
    try {
        return emulator::ReadPeImage(image);
    } catch (const emulator::ImageError& refused) {
        return CannotLoad(image, refused);
    }
}

Refusal CannotLoad(const fs::path& image, const emulator::ImageError& refused)
{
    return Refusal{ExitRunFailed, "cannot load " + image.string() + ": " + refused.what()};
}

}  // namespace quarnhold::tools
