// sweep_run.cpp

#include "tools/sweep_run.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <sstream>

#include "emulator/driver_image_run.h"
#include "fault_sweep/fault_sweep.h"
#include "isolation/isolated_sweep.h"
#include "testbed/nt_status.h"
#include "testbed/scratch_disk.h"
#include "tools/drive_c_setup.h"
#include "tools/exit_status.h"
#include "tools/fault_option.h"
#include "tools/image_file.h"
#include "tools/json_fields.h"
#include "tools/progress_bar.h"
#include "tools/standard_output.h"
#include "tools/sweep_report.h"

namespace quarnhold::tools {
namespace {

// The starting disks to sweep from: those named, or all; a refusal for a
// name that is none, or a file system none of them can be on.
std::variant<std::vector<fault_sweep::StartingDisk>, Refusal> ChosenDisks(const RunOptions& options)
{
    if (options.startDisks.empty()) return fault_sweep::StartingDisks();
    std::vector<fault_sweep::StartingDisk> disks;
    for (const std::string& name : options.startDisks) {
        const auto& all = fault_sweep::StartingDisks();
        const auto found = std::find_if(all.begin(), all.end(), [&](const auto& disk) { return disk.name == name; });
        if (found == all.end()) return Refusal{ExitBadArguments, UnknownStartingDisk(name)};
        disks.push_back(*found);
    }
    if (options.fileSystemGiven && std::all_of(disks.begin(), disks.end(), [&](const auto& disk) {
            return disk.onlyOn && *disk.onlyOn != options.fileSystem;
        })) {
        return Refusal{ExitBadArguments, "the filter matches no run: " + disks.front().name + " exists on " +
                                             std::string(testbed::FileSystemName(*disks.front().onlyOn)) +
                                             " only, not on " +
                                             std::string(testbed::FileSystemName(options.fileSystem))};
    }
    return disks;
}

// A refusal for a --fault-status the sweep never injects.
std::optional<Refusal> CheckStatuses(const RunOptions& options)
{
    const std::vector<testbed::NtStatus>& swept = fault_sweep::SweptStatuses();
    for (testbed::NtStatus status : options.faultStatuses) {
        if (std::find(swept.begin(), swept.end(), status) != swept.end()) continue;
        std::string names;
        for (testbed::NtStatus known : swept) names += (names.empty() ? "" : ", ") + StatusOption(known);
        return Refusal{ExitBadArguments, "--fault-status: the sweep never injects " + testbed::DescribeStatus(status) +
                                             "; it injects " + names};
    }
    return std::nullopt;
}

}  // namespace

int SweepImage(const RunOptions& options)
{
    auto chosen = ChosenDisks(options);
    if (const Refusal* refused = std::get_if<Refusal>(&chosen)) return Refuse(*refused);
    const auto& disks = std::get<std::vector<fault_sweep::StartingDisk>>(chosen);
    if (std::optional<Refusal> refused = CheckStatuses(options)) return Refuse(*refused);

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

    SweepScope scope;
    scope.image = options.image;
    scope.machine = image->Machine().Name();
    scope.tool = options.invokedAs;
    scope.disks = disks.size();
    scope.pairs = !options.singleFaults;
    scope.startDisks = options.startDisks;
    if (options.fileSystemGiven) scope.fileSystem = options.fileSystem;
    scope.faultCalls = options.faultCalls;
    scope.faultStatuses = options.faultStatuses;

    if (!options.json && !options.listRuns) {
        std::ostringstream plan;
        WriteSweepPlan(scope, plan);
        if (std::optional<Refusal> failed = Emit(STDOUT_FILENO, plan.str())) return Refuse(*failed);
    }
    ProgressBar bar(std::cerr, isatty(STDERR_FILENO) && !options.listRuns);
    fault_sweep::SweepOptions sweepOptions;
    sweepOptions.pairs = scope.pairs;
    sweepOptions.filter = {scope.fileSystem, scope.faultCalls, scope.faultStatuses};
    sweepOptions.listOnly = options.listRuns;
    // Text shows the failed runs in groups, JSON every one, unless asked.
    sweepOptions.keptFailures = options.maxFailures.value_or(options.json ? SIZE_MAX : 0);
    sweepOptions.progress = [&](uint64_t done, uint64_t total) { bar.Update(done, total); };
    // Made here, so that an interrupt removes it whatever the worker is doing.
    std::optional<testbed::ScratchFolder> folder;
    if (options.sweepOnFolder) sweepOptions.driveC = folder.emplace().path();
    // The runs happen in a worker process, so a run that makes the emulator
    // abort or crash is a failed run, and the sweep goes on.
    fault_sweep::SweepSummary summary = isolation::RunIsolatedSweep(*image, disks, sweepOptions);
    bar.Finish();

    // A filter that selected nothing is a mistake in the asking: a sweep of
    // no run would pass, and prove nothing.
    const bool nothingSelected = options.listRuns ? summary.planned.empty() : summary.runs == 0;
    if (nothingSelected && summary.environmentFailures == 0) {
        return Refuse(ExitBadArguments, "the filter matches no run of the sweep: " + scope.FilterOptions());
    }

    std::ostringstream report;
    if (options.listRuns) {
        if (options.json) {
            report << JsonText(RunListJson(scope, summary.planned));
        } else {
            WriteRunList(summary.planned, report);
        }
    } else if (options.json) {
        report << JsonText(SweepToJson(scope, summary));
    } else {
        WriteSweepText(scope, summary, report);
    }
    SetJsonErrors(false);
    if (std::optional<Refusal> failed = Emit(STDOUT_FILENO, report.str())) return Refuse(*failed);
    if (!summary.environment.empty()) {
        return Refuse(ExitRunFailed,
                      std::to_string(summary.environmentFailures) + " of the sweep's runs stopped by a " +
                          "test-bed error, so the sweep proves nothing; the first: " + summary.environment.front().what,
                      refusal::TestBedError);
    }
    if (options.listRuns) return ExitCompleted;
    return summary.runsHeld == summary.runs ? ExitCompleted : ExitRunFailed;
}

}  // namespace quarnhold::tools
