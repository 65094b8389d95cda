// sweep_run.cpp

#include "tools/sweep_run.h"

#include <unistd.h>

#include <iostream>
#include <optional>
#include <sstream>

#include "emulator/driver_image_run.h"
#include "fault_sweep/fault_sweep.h"
#include "isolation/isolated_sweep.h"
#include "testbed/scratch_disk.h"
#include "tools/exit_status.h"
#include "tools/image_file.h"
#include "tools/progress_bar.h"
#include "tools/standard_output.h"
#include "tools/sweep_report.h"

namespace quarnhold::tools {

int SweepImage(const RunOptions& options)
{
    std::optional<emulator::DriverImageRunner> image;
    {
        auto read = ReadImageFile(options.image);
        if (const Refusal* refused = std::get_if<Refusal>(&read)) {
            return Refuse(*refused);
        }
        try {
            image.emplace(std::get<emulator::PeImage>(read));
        } catch (const emulator::ImageError& refused) {
            return Refuse(CannotLoad(options.image, refused));
        }
    }  // the file's bytes are not needed once the image is loaded

    const auto& disks = fault_sweep::StartingDisks();
    if (!options.json) {
        std::ostringstream plan;
        WriteSweepPlan(options.image, image->Machine().Name(), disks.size(), !options.singleFaults, plan);
        if (std::optional<Refusal> failed = Emit(STDOUT_FILENO, plan.str())) return Refuse(*failed);
    }
    ProgressBar bar(std::cerr, isatty(STDERR_FILENO));
    fault_sweep::SweepOptions sweepOptions;
    sweepOptions.pairs = !options.singleFaults;
    sweepOptions.progress = [&](uint64_t done, uint64_t total) { bar.Update(done, total); };
    // Made here, so that an interrupt removes it whatever the worker is doing.
    std::optional<testbed::ScratchFolder> folder;
    if (options.sweepOnFolder) sweepOptions.driveC = folder.emplace().path();
    // The runs happen in a worker process, so a run that makes the emulator
    // abort or crash is a failed run, and the sweep goes on.
    fault_sweep::SweepSummary summary = isolation::RunIsolatedSweep(*image, disks, sweepOptions);
    bar.Finish();

    std::ostringstream report;
    if (options.json) {
        report
            << SweepToJson(options.image, summary).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
            << "\n";
    } else {
        WriteSweepText(options.image, summary, report);
    }
    if (std::optional<Refusal> failed = Emit(STDOUT_FILENO, report.str())) return Refuse(*failed);
    if (!summary.environment.empty()) {
        return Refuse(
            ExitRunFailed,
            std::to_string(summary.environmentFailures) + " of the sweep's runs stopped by a " +
                "test-bed error, so the sweep proves nothing; the first: " + summary.environment.front().what);
    }
    return summary.runsHeld == summary.runs ? ExitCompleted : ExitRunFailed;
}

}  // namespace quarnhold::tools
