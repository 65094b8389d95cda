// run_outcome.h
//
// What one run of the driver left behind, whichever way it ran, and the
// host-linked way of running it.

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testbed/kernel_model.h"

namespace quarnhold::tests {

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
};

// Copies what `model` recorded into an outcome.
RunOutcome CollectOutcome(const testbed::KernelModel& model);

// Calls the host build of DriverEntry over `model`, with a DRIVER_OBJECT and
// a registry path filled with a pattern that is checked afterwards.
RunOutcome RunHostLinked(testbed::KernelModel& model);

// Loads the built kernel image and runs its DriverEntry on the emulated CPU
// over `model`. Load errors throw emulator::ImageError.
RunOutcome RunEmulated(testbed::KernelModel& model, const std::filesystem::path& image);

// The image the build made.
std::filesystem::path BuiltImage();

}  // namespace quarnhold::tests
