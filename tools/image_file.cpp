// image_file.cpp

#include "tools/image_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "testbed/test_bed_error.h"

namespace quarnhold::tools {

namespace fs = std::filesystem;

std::optional<Refusal> CheckImagePath(const fs::path& image)
{
    struct stat info {};
    if (stat(image.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return Refusal{ExitBadArguments, "no such image: " + image.string()};
        }
        return Refusal{ExitBadArguments, "cannot reach the image " + image.string() + ": " + testbed::ErrnoText(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
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
    return Refusal{ExitRunFailed, "cannot load " + image.string() + ": " + refused.what(), refusal::CannotLoad};
}

}  // namespace quarnhold::tools
