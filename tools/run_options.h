// run_options.h
//
// quarnhold-run's command line.

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fault_sweep/sweep_filter.h"
#include "testbed/kernel_model.h"

namespace quarnhold::tools {

struct RunOptions {
    std::filesystem::path image;
    std::optional<std::filesystem::path> driveC;  // nothing: a fresh scratch folder
    bool noDriveC = false;                        // run without the \??\c: link
    bool writeProtected = false;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;  // what drive C is formatted with
    bool fileSystemGiven = false;                                // --file-system was given: with --sweep, only that one
    bool raw = false;
    bool json = false;
    bool stats = false;
    bool trace = false;
    // A starting disk of the fault sweep, laid down on a fresh scratch drive
    // C; with --sweep, the disks to sweep from (none: all of them).
    std::vector<std::string> startDisks;
    // Leave the fresh scratch drive C in place after the run, and say where.
    bool keepDriveC = false;
    std::vector<testbed::InjectedFault> faults;        // --fault, in the order given
    bool sweep = false;                                // the fault sweep instead of one run
    bool singleFaults = false;                         // sweep without pairs of faults
    bool sweepOnFolder = false;                        // sweep on a scratch folder, not in memory
    std::vector<fault_sweep::FaultedCall> faultCalls;  // --fault-call: sweep only runs that fault these
    std::vector<testbed::NtStatus> faultStatuses;      // --fault-status: sweep only runs that inject these
    std::optional<size_t> maxFailures;                 // --max-failures; SIZE_MAX for all
    bool listRuns = false;                             // --list-runs: list the sweep's runs, make none
    bool help = false;
    bool version = false;
    // How quarnhold-run was started (argv[0] as typed), for the commands it
    // prints to repeat a run.
    std::string invokedAs = "quarnhold-run";
};

// The options, or a one-line reason they are not usable.
std::variant<RunOptions, std::string> ParseRunOptions(const std::vector<std::string>& arguments);

// Whether `arguments` ask for --json, read before they are parsed, so that
// arguments that cannot be parsed are refused in JSON too.
bool AsksForJson(const std::vector<std::string>& arguments);

// Whether the options ask for `--start-disk list` alone.
bool ListsStartingDisks(const RunOptions& options);

extern const char* const RunUsage;

// "quarnhold-run 1.1.0", the project's version.
extern const char* const RunVersion;

}  // namespace quarnhold::tools
