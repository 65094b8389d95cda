// emulated_run.cpp

#include "emulator/pe_image.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {

RunOutcome RunEmulated(testbed::KernelModel& model, const std::filesystem::path& image)
{
    emulator::DriverImageRunner runner(emulator::ReadPeImage(image));
    return fault_sweep::RunEmulated(model, runner);
}

std::filesystem::path BuiltImage()
{
    return QUARNHOLD_IMAGE_PATH;
}

std::filesystem::path BuiltAmd64Image()
{
    return QUARNHOLD_AMD64_IMAGE_PATH;
}

}  // namespace quarnhold::tests
