// driver_run.h
//
// What one run of the driver left behind, whichever way it ran: the host
// build over the model, or the image on the emulated CPU, in this process
// or in a worker process.

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emulator/driver_image_run.h"
#include "testbed/kernel_model.h"

namespace quarnhold::fault_sweep {

// What a run's kernel model is made from: drive C, the faults to inject and
// the opens others hold. A run is asked for with this rather than with a
// model, so that it can be made in another process.
struct RunSetup {
    testbed::DriveC driveC;
    std::vector<testbed::InjectedFault> faults;
    std::vector<testbed::ForeignOpen> foreignOpens;
    // Read back each file the run wrote, its first this many bytes, for a
    // report (see ReadBackWritten); 0: none.
    size_t readBackBytes = 0;
};

// The model a run starts with. Throws what the model's constructor throws.
testbed::KernelModel MakeModel(const RunSetup& setup);

struct RunOutcome {
    uint32_t status = 0;  // DriverEntry's return value
    std::vector<std::string> debugOutput;
    std::vector<testbed::KernelCall> calls;
    std::vector<testbed::OpenHandle> openHandles;
    testbed::HandleCounts counts;
    std::vector<testbed::BrokenRule> brokenRules;
    std::vector<testbed::DiskEvent> diskEvents;
    bool driverObjectUntouched = false;
    bool registryPathUntouched = false;
    // A guest fault that stopped the run, with where and the last kernel
    // call; empty when none.
    std::string fault;
    // The bug check that stopped it, when the model raised one: `fault`
    // describes it too.
    std::optional<testbed::BugCheck> bugCheck = {};
    // A host failure of the test bed that stopped the run: an environment
    // failure, never the driver's. Empty when none.
    std::string testBedError;
    // The deepest the guest stack went; only an emulated run measures it.
    std::optional<uint32_t> peakStackBytes;
    // An emulated run's own account: where the image was mapped, the fault
    // in parts, the instructions and time, the loader data touched.
    std::optional<emulator::ImageRunResult> emulated;
    // The process that ran the image died during the run, and what the model
    // recorded (messages, calls, handles, disk changes) died with it: only
    // `fault` and `emulated` are known.
    bool recordLost = false;
    // Each file the run wrote, read back from the file itself when the
    // setup asked for it.
    std::vector<testbed::WrittenFile> writtenFiles;
};

// One way of running the driver: a model made from the setup, the driver
// run over it, and what it left behind.
using DriverRunner = std::function<RunOutcome(const RunSetup&)>;

// A DriverRunner for a way that runs the driver in this process over a model.
DriverRunner InProcess(std::function<RunOutcome(testbed::KernelModel&)> run);

// Copies what `model` recorded into an outcome.
RunOutcome CollectOutcome(const testbed::KernelModel& model);

// Runs the loaded image's DriverEntry on the emulated CPU over `model`.
RunOutcome RunEmulated(testbed::KernelModel& model, emulator::DriverImageRunner& image);

// Reads back into `outcome` each file the run over `model` wrote, as
// `setup` asks, from the files the run held rather than by name; a host
// failure to do so is the outcome's test-bed error.
void ReadBackWritten(const testbed::KernelModel& model, const RunSetup& setup, RunOutcome& outcome);

}  // namespace quarnhold::fault_sweep
