// isolated_sweep.h
//
// The whole fault sweep of a loaded image in one worker process. A worker
// per run costs each run a round trip between the processes, about as much
// as the run itself on a small machine; one worker for the sweep costs one.
// The price is paid only by an image that takes its worker down: then the
// sweep is run again with a worker per run, so the run that did it is one
// failed run and the sweep goes on past it.

#pragma once

#include <chrono>
#include <vector>

#include "emulator/driver_image_run.h"
#include "fault_sweep/fault_sweep.h"

namespace quarnhold::isolation {

// How long a sweep's worker may go without finishing a run before it is
// taken for hung: as long as one run may take in a worker of its own.
inline constexpr std::chrono::milliseconds DefaultStallTimeout{30'000};

// Runs the sweep of `image` (loaded, and never run in this process) from
// `disks`, as fault_sweep::RunSweep does: on options.driveC, or in memory.
// When it falls back to a worker per run, drive C is options.driveC or a
// scratch folder made here, so that an interrupt removes it whatever the
// worker was doing. Throws std::runtime_error when no worker can be started.
fault_sweep::SweepSummary RunIsolatedSweep(emulator::DriverImageRunner& image,
                                           const std::vector<fault_sweep::StartingDisk>& disks,
                                           const fault_sweep::SweepOptions& options,
                                           std::chrono::milliseconds stallTimeout = DefaultStallTimeout);

}  // namespace quarnhold::isolation
