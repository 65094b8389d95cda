// driver_image_run.h
//
// Loads a driver image as the NT loader would and calls its DriverEntry on
// the emulated i386 CPU, with the kernel routines answered by a KernelModel.

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/pe_image.h"
#include "testbed/kernel_model.h"

namespace quarnhold::emulator {

struct RunLimits {
    uint64_t instructionBudget = 1'000'000;
    uint32_t stackBytes = 12 * 1024;
};

// What stopped a run before DriverEntry returned properly.
struct GuestFault {
    std::string what;          // one line: what happened
    uint32_t address = 0;      // the guest address it happened at (EIP, or the data address)
    std::string lastKernelCall;  // empty before the first call
};

struct RunStats {
    uint64_t instructions = 0;
    uint32_t peakStackBytes = 0;
    std::chrono::nanoseconds elapsed{0};
};

struct ImageRunResult {
    uint32_t imageBase = 0;  // where the image was mapped
    uint32_t status = 0;     // DriverEntry's return value, when it returned
    std::optional<GuestFault> fault;
    // Every guest access to the DRIVER_OBJECT or the registry path.
    std::vector<std::string> loaderDataAccesses;
    bool driverObjectUntouched = false;
    bool registryPathUntouched = false;
    RunStats stats;
};

// Checks `image` as a kernel loader would, maps it away from its preferred
// base, binds its imports to the model, and calls DriverEntry(DriverObject,
// RegistryPath) with stdcall on a 12 KB stack. Throws ImageError when the
// image cannot be loaded; a guest fault is reported in the result instead.
ImageRunResult RunDriverImage(const PeImage& image, testbed::KernelModel& model, const RunLimits& limits = {});

}  // namespace quarnhold::emulator
