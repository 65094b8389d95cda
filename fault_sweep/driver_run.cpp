// driver_run.cpp

#include "fault_sweep/driver_run.h"

#include "testbed/test_bed_error.h"

namespace quarnhold::fault_sweep {

testbed::KernelModel MakeModel(const RunSetup& setup)
{
    return testbed::KernelModel(setup.driveC, setup.faults, setup.foreignOpens);
}

DriverRunner InProcess(std::function<RunOutcome(testbed::KernelModel&)> run)
{
    return [run = std::move(run)](const RunSetup& setup) {
        testbed::KernelModel model = MakeModel(setup);
        return run(model);
    };
}

RunOutcome CollectOutcome(const testbed::KernelModel& model)
{
    RunOutcome outcome;
    outcome.debugOutput = model.DebugOutput();
    outcome.calls = model.Calls();
    outcome.openHandles = model.OpenHandles();
    outcome.counts = model.Counts();
    outcome.brokenRules = model.BrokenRules();
    outcome.diskEvents = model.DiskEvents();
    outcome.bugCheck = model.RaisedBugCheck();
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
        outcome.fault = emulator::DescribeGuestFault(*result.fault);
    }
    if (result.testBedError) {
        outcome.testBedError = *result.testBedError;
    }
    outcome.emulated = std::move(result);
    return outcome;
}

void ReadBackWritten(const testbed::KernelModel& model, const RunSetup& setup, RunOutcome& outcome)
{
    if (setup.readBackBytes == 0 || !outcome.testBedError.empty()) return;
    try {
        outcome.writtenFiles = model.WrittenFiles(setup.readBackBytes);
    } catch (const testbed::TestBedError& failure) {
        outcome.testBedError = failure.what();
    }
}

}  // namespace quarnhold::fault_sweep
