// emulated_run.cpp

#include "emulator/pe_image.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {

RunOutcome RunEmulated(testbed::KernelModel& model, const std::filesystem::path& image)
{
    return fault_sweep::RunEmulated(model, emulator::ReadPeImage(image));
}

std::filesystem::path BuiltImage()
{
    return QUARNHOLD_IMAGE_PATH;
}

}  // namespace quarnhold::tests
