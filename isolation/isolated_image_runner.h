// isolated_image_runner.h
//
// Runs a loaded image's DriverEntry in a worker process, so that nothing the
// image does can take this process down. Unicorn 2.0.1 aborts the whole
// process when it meets some instruction encodings it cannot translate (FF
// D8 and FF E8 among them: far calls and jumps through a register), and no
// hook can catch that. The worker is forked once the image is loaded, so it
// inherits the loaded CPU, and it keeps its translations from run to run;
// only a run that kills it costs a new one.

#pragma once

#include <chrono>
#include <memory>

#include "emulator/driver_image_run.h"
#include "fault_sweep/driver_run.h"
#include "isolation/shared_record.h"
#include "isolation/worker_process.h"

namespace quarnhold::isolation {

class IsolatedImageRunner {
public:
    // How long one run may take before the worker is taken for hung. The
    // instruction budget ends any guest loop long before this.
    static constexpr std::chrono::milliseconds DefaultRunTimeout{30'000};

    // `image` must be loaded and never run in this process; it must outlive
    // the runner.
    explicit IsolatedImageRunner(emulator::DriverImageRunner& image,
                                 std::chrono::milliseconds runTimeout = DefaultRunTimeout);
    ~IsolatedImageRunner();
    IsolatedImageRunner(const IsolatedImageRunner&) = delete;
    IsolatedImageRunner& operator=(const IsolatedImageRunner&) = delete;

    // Runs DriverEntry once in the worker over a model made from `setup`.
    // When the worker dies or hangs during the run, the outcome is a guest
    // fault that says how, with the last guest address and kernel call the
    // worker reached, and recordLost set; when someone outside killed it,
    // a test-bed error. A drive C the host refuses is the
    // outcome's testBedError, as in this process. Throws std::runtime_error
    // when no worker can be started, or a foreign open cannot be made.
    fault_sweep::RunOutcome Run(const fault_sweep::RunSetup& setup);

    // The same, as a DriverRunner for the fault sweep.
    fault_sweep::DriverRunner AsDriverRunner();

private:
    emulator::DriverImageRunner& image_;
    std::unique_ptr<SharedRecord<emulator::GuestTrail>> trail_;
    WorkerProcess worker_;
};

// The guest fault for a run whose worker ended as `end` after leaving
// `trail`: "the emulator died of SIGABRT, saying "..."".
emulator::GuestFault WorkerEndFault(const WorkerEnd& end, const emulator::GuestTrail& trail);

// The outcome of a run whose worker ended as `end`: a guest fault with its
// record lost, or, when someone outside killed the worker, a test-bed
// error that blames nothing on the driver.
fault_sweep::RunOutcome OutcomeOfWorkerEnd(const WorkerEnd& end, const emulator::GuestTrail& trail,
                                           uint32_t imageBase);

}  // namespace quarnhold::isolation
