// emulated_run.cpp

#include "emulator/driver_image_run.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {

RunOutcome RunEmulated(testbed::KernelModel& model, const std::filesystem::path& image)
{
    emulator::ImageRunResult result = emulator::RunDriverImage(emulator::ReadPeImage(image), model);
    RunOutcome outcome = CollectOutcome(model);
    outcome.status = result.status;
    outcome.driverObjectUntouched = result.driverObjectUntouched;
    outcome.registryPathUntouched = result.registryPathUntouched;
    if (result.fault) {
        outcome.fault = result.fault->what;
    }
    return outcome;
}

std::filesystem::path BuiltImage()
{
    return QUARNHOLD_IMAGE_PATH;
}

}  // namespace quarnhold::tests
