// driver_run.cpp

#include "fault_sweep/driver_run.h"

namespace quarnhold::fault_sweep {

RunOutcome CollectOutcome(const testbed::KernelModel& model)
{
    RunOutcome outcome;
    outcome.debugOutput = model.DebugOutput();
    outcome.calls = model.Calls();
    outcome.openHandles = model.OpenHandles();
    outcome.counts = model.Counts();
    outcome.brokenRules = model.BrokenRules();
    return outcome;
}

RunOutcome RunEmulated(testbed::KernelModel& model, emulator::DriverImageRunner& image)
{
    emulator::ImageRunResult result = image.Run(model);
    RunOutcome outcome = CollectOutcome(model);
    outcome.status = result.status;
    outcome.driverObjectUntouched = result.driverObjectUntouched;
    outcome.registryPathUntouched = result.registryPathUntouched;
    outcome.peakStackBytes = result.stats.peakStackBytes;
    if (result.fault) {
        outcome.fault = result.fault->what;
    }
    if (result.testBedError) {
        outcome.testBedError = *result.testBedError;
    }
    return outcome;
}

}  // namespace quarnhold::fault_sweep
