// driver_run.h
//
// What one run of the driver left behind, whichever way it ran: the host
// build over the model, or the image on the emulated CPU.

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emulator/driver_image_run.h"
#include "testbed/kernel_model.h"

namespace quarnhold::fault_sweep {

struct RunOutcome {
    uint32_t status = 0;  // DriverEntry's return value
    std::vector<std::string> debugOutput;
    std::vector<testbed::KernelCall> calls;
    std::vector<testbed::OpenHandle> openHandles;
    testbed::HandleCounts counts;
    std::vector<testbed::BrokenRule> brokenRules;
    bool driverObjectUntouched = false;
    bool registryPathUntouched = false;
    std::string fault;  // a guest fault that stopped the run; empty when none
    // A host failure of the test bed that stopped the run: an environment
    // failure, never the driver's. Empty when none.
    std::string testBedError;
    // The deepest the guest stack went; only an emulated run measures it.
    std::optional<uint32_t> peakStackBytes;
};

// One way of running the driver over a model.
using DriverRunner = std::function<RunOutcome(testbed::KernelModel&)>;

// Copies what `model` recorded into an outcome.
RunOutcome CollectOutcome(const testbed::KernelModel& model);

// Runs the loaded image's DriverEntry on the emulated CPU over `model`.
RunOutcome RunEmulated(testbed::KernelModel& model, emulator::DriverImageRunner& image);

}  // namespace quarnhold::fault_sweep
