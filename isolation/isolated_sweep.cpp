// isolated_sweep.cpp

#include "isolation/isolated_sweep.h"

#include <atomic>
#include <limits>

#include "isolation/isolated_image_runner.h"
#include "isolation/run_wire.h"
#include "isolation/shared_record.h"
#include "isolation/worker_process.h"
#include "testbed/scratch_disk.h"

namespace quarnhold::isolation {
namespace {

// The sweep's progress as the worker reports it, for the progress bar and
// for telling a slow sweep from a hung one.
struct SharedProgress {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};
    // Every run the worker made, those made only to plan the others too:
    // a filtered sweep makes runs that do not count towards `done`.
    std::atomic<uint64_t> made{0};
};

// How often the waiting side looks at the progress.
constexpr std::chrono::milliseconds ProgressInterval{100};

}  // namespace

fault_sweep::SweepSummary RunIsolatedSweep(emulator::DriverImageRunner& image,
                                           const std::vector<fault_sweep::StartingDisk>& disks,
                                           const fault_sweep::SweepOptions& options,
                                           std::chrono::milliseconds stallTimeout)
{
    const auto started = std::chrono::steady_clock::now();
    SharedRecord<SharedProgress> progress;

    fault_sweep::SweepOptions inWorker = options;
    inWorker.progress = [shared = progress.get()](uint64_t done, uint64_t total) {
        shared->total.store(total, std::memory_order_relaxed);
        shared->done.store(done, std::memory_order_relaxed);
        shared->made.fetch_add(1, std::memory_order_release);
    };
    // The worker needs no time limit of its own: the watch below ends it
    // when a run takes too long.
    WorkerProcess worker(
        [&](std::string_view) {
            return EncodeSweepSummary(fault_sweep::RunSweep(fault_sweep::InProcess([&](testbed::KernelModel& model) {
                                                                return fault_sweep::RunEmulated(model, image);
                                                            }),
                                                            disks, inWorker));
        },
        std::chrono::milliseconds(std::numeric_limits<int32_t>::max()));

    uint64_t lastMade = 0;
    uint64_t lastDone = 0;
    auto lastMove = std::chrono::steady_clock::now();
    const auto watch = [&]() -> std::optional<std::string> {
        const uint64_t made = progress->made.load(std::memory_order_acquire);
        const auto now = std::chrono::steady_clock::now();
        if (made != lastMade) {
            lastMade = made;
            lastMove = now;
            lastDone = progress->done.load(std::memory_order_relaxed);
            if (options.progress) options.progress(lastDone, progress->total.load(std::memory_order_relaxed));
        } else if (now - lastMove >= stallTimeout) {
            return "finished no run within " + std::to_string((stallTimeout.count() + 999) / 1000) + " s";
        }
        return std::nullopt;
    };
    std::variant<std::string, WorkerEnd> answer = worker.Ask("", ProgressInterval, watch);
    if (const std::string* bytes = std::get_if<std::string>(&answer)) {
        fault_sweep::SweepSummary summary = DecodeSweepSummary(*bytes);
        if (options.progress && summary.runs != lastDone) options.progress(summary.runs, summary.runs);
        return summary;
    }

    // The worker died, or hung, on some run: again, with a worker per run.
    // The sweep is the same run for run, so the one that ended the worker
    // ends only its own worker this time, as a failed run. A drive C held in
    // memory would stay in each run's worker, so these runs go on a folder.
    IsolatedImageRunner perRun(image);
    std::optional<testbed::ScratchFolder> ownFolder;
    fault_sweep::SweepOptions again = options;
    if (!again.driveC) again.driveC = ownFolder.emplace().path();
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(perRun.AsDriverRunner(), disks, again);
    summary.elapsed = std::chrono::steady_clock::now() - started;
    return summary;
}

}  // namespace quarnhold::isolation
