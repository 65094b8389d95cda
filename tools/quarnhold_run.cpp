// quarnhold_run.cpp
//
// quarnhold-run: runs a kernel driver image here and shows a person what the
// kernel would have seen. See RunUsage for the command line.

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <variant>

#include "emulator/driver_image_run.h"
#include "emulator/pe_image.h"
#include "fault_sweep/fault_sweep.h"
#include "tools/progress_bar.h"
#include "tools/run_options.h"
#include "tools/run_report.h"
#include "tools/sweep_report.h"

namespace {

namespace fs = std::filesystem;
using namespace quarnhold;

constexpr int ExitCompleted = 0;
constexpr int ExitRunFailed = 1;
constexpr int ExitBadArguments = 2;

int Refuse(int code, const std::string& reason)
{
    std::cerr << "quarnhold-run: " << reason << "\n";
    if (code == ExitBadArguments) {
        std::cerr << "Try 'quarnhold-run --help'.\n";
    }
    return code;
}

// A fresh folder to stand in for drive C; kept after the run so a person can
// look at what the driver made.
std::optional<fs::path> MakeScratchDriveC()
{
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "quarnhold-c-XXXXXX").string();
    if (error || mkdtemp(pattern.data()) == nullptr) {
        return std::nullopt;
    }
    return fs::path(pattern);
}

// The image named on the command line, or the reason it cannot be used.
std::optional<int> CheckImagePath(const fs::path& image)
{
    std::error_code error;
    if (!fs::exists(image, error)) {
        return Refuse(ExitBadArguments, "no such image: " + image.string());
    }
    if (!fs::is_regular_file(image, error)) {
        return Refuse(ExitBadArguments, image.string() + " is not a file");
    }
    return std::nullopt;
}

// --sweep: every fault of every kernel call from every starting disk, each
// run checked against the rules of a sound run.
int Sweep(const tools::RunOptions& options)
{
    if (std::optional<int> refused = CheckImagePath(options.image)) {
        return *refused;
    }
    std::optional<emulator::DriverImageRunner> image;
    try {
        image.emplace(emulator::ReadPeImage(options.image));
    } catch (const emulator::ImageError& refused) {
        return Refuse(ExitRunFailed, "cannot load " + options.image.string() + ": " + refused.what());
    }

    const auto& disks = fault_sweep::StartingDisks();
    if (!options.json) {
        tools::WriteSweepPlan(options.image, disks.size(), !options.singleFaults, std::cout);
        std::cout.flush();
    }
    tools::ProgressBar bar(std::cerr, isatty(STDERR_FILENO));
    fault_sweep::SweepOptions sweepOptions;
    sweepOptions.pairs = !options.singleFaults;
    sweepOptions.progress = [&](uint64_t done, uint64_t total) { bar.Update(done, total); };
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(
        [&](testbed::KernelModel& model) { return fault_sweep::RunEmulated(model, *image); }, disks, sweepOptions);
    bar.Finish();

    if (options.json) {
        std::cout << tools::SweepToJson(options.image, summary)
                         .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << "\n";
    } else {
        tools::WriteSweepText(options.image, summary, std::cout);
    }
    return summary.runsHeld == summary.runs ? ExitCompleted : ExitRunFailed;
}

int Run(const tools::RunOptions& options)
{
    if (std::optional<int> refused = CheckImagePath(options.image)) {
        return *refused;
    }
    std::error_code error;

    tools::RunReport report;
    report.image = options.image;
    report.writeProtected = options.writeProtected;
    const fault_sweep::StartingDisk* startDisk = nullptr;
    if (options.startDisk) {
        try {
            startDisk = &fault_sweep::FindStartingDisk(*options.startDisk);
        } catch (const std::out_of_range&) {
            return Refuse(ExitBadArguments, "no starting disk named " + *options.startDisk +
                                                "; 'quarnhold-run --start-disk list' names them");
        }
        report.startDisk = startDisk->name;
        report.writeProtected = startDisk->writeProtected;
        if (startDisk->ntfsOnly && options.fileSystem != testbed::FileSystem::Ntfs) {
            return Refuse(ExitBadArguments, "starting disk " + startDisk->name + " holds a symbolic link, which " +
                                                "only NTFS can hold; it cannot be laid down on FAT");
        }
        if (startDisk->driveC) {
            report.driveC = MakeScratchDriveC();
            if (!report.driveC) {
                return Refuse(ExitRunFailed, "cannot make a scratch folder for drive C");
            }
            report.scratchDriveC = true;
            testbed::LayDown(*report.driveC, startDisk->items);
        }
    } else if (options.driveC) {
        if (!fs::exists(*options.driveC, error)) {
            return Refuse(ExitBadArguments, "no such folder for drive C: " + options.driveC->string());
        }
        if (!fs::is_directory(*options.driveC, error)) {
            return Refuse(ExitBadArguments, options.driveC->string() + " is not a folder, so it cannot be drive C");
        }
        report.driveC = fs::absolute(*options.driveC);
    } else if (!options.noDriveC) {
        report.driveC = MakeScratchDriveC();
        if (!report.driveC) {
            return Refuse(ExitRunFailed, "cannot make a scratch folder for drive C");
        }
        report.scratchDriveC = true;
    }

    emulator::PeImage image;
    try {
        image = emulator::ReadPeImage(options.image);
    } catch (const emulator::ImageError& refused) {
        return Refuse(ExitRunFailed, "cannot load " + options.image.string() + ": " + refused.what());
    }
    report.preferredBase = image.imageBase;
    report.relocations = image.relocationRvas.size();

    report.fileSystem = options.fileSystem;
    testbed::KernelModel model(testbed::DriveC{report.driveC, report.writeProtected, options.fileSystem},
                               options.faults,
                               startDisk ? startDisk->foreignOpens : std::vector<testbed::ForeignOpen>{});
    try {
        report.run = emulator::RunDriverImage(image, model);
    } catch (const emulator::ImageError& refused) {
        return Refuse(ExitRunFailed, "cannot load " + options.image.string() + ": " + refused.what());
    }
    tools::CollectModel(model, report);

    if (options.json) {
        std::cout << tools::ToJson(report, options.stats, options.trace)
                         .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << "\n";
    } else if (options.raw) {
        tools::WriteRawMessages(report, std::cout);
        tools::WriteText(report, std::cerr, false, options.stats, options.trace);
    } else {
        tools::WriteText(report, std::cout, true, options.stats, options.trace);
    }
    std::cout.flush();

    if (report.run.fault) {
        return Refuse(ExitRunFailed, tools::DescribeFault(*report.run.fault));
    }
    if (!report.brokenRules.empty()) {
        return Refuse(ExitRunFailed, "the driver broke " + std::to_string(report.brokenRules.size()) +
                                         " kernel rule" + (report.brokenRules.size() == 1 ? "" : "s") +
                                         ": " + report.brokenRules.front().rule);
    }
    return ExitCompleted;
}

}  // namespace

int main(int argc, char** argv)
{
    auto parsed = quarnhold::tools::ParseRunOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        return Refuse(ExitBadArguments, *reason);
    }
    const auto& options = std::get<quarnhold::tools::RunOptions>(parsed);
    if (options.help) {
        std::cout << quarnhold::tools::RunUsage;
        return ExitCompleted;
    }
    if (options.startDisk == "list" && options.image.empty()) {
        for (const auto& disk : quarnhold::fault_sweep::StartingDisks()) {
            std::cout << disk.name << "\n";
        }
        return ExitCompleted;
    }
    try {
        return options.sweep ? Sweep(options) : Run(options);
    } catch (const std::exception& failure) {
        return Refuse(ExitRunFailed, failure.what());
    }
}
