// fault_sweep.h
//
// Tries every failure of every kernel call the driver makes. From each
// starting disk, on each file system it can be on: one run as the kernel
// answers, then one run per (call, fault) pair, then one per pair of faulted
// calls, each checked against the run rules. A fault is a status from
// SweptStatuses in place of the kernel's answer, or, for a ZwCreateFile that
// succeeds, an Information from SweptInformation. A filter narrows the sweep
// to the runs a person asked for; a sweep can also only list its runs.

#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/driver_run.h"
#include "fault_sweep/run_rules.h"
#include "fault_sweep/starting_disks.h"
#include "fault_sweep/sweep_filter.h"

namespace quarnhold::fault_sweep {

// Errors, warnings and success values alike: the driver treats every status
// but zero as a failure, and closes the handle a success value comes with.
const std::vector<testbed::NtStatus>& SweptStatuses();
// What a successful ZwCreateFile may report besides the kernel's own answer.
const std::vector<uint32_t>& SweptInformation();

// A run of the sweep: where it starts and what is injected.
struct SweepRun {
    std::string disk;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;
    std::vector<testbed::InjectedFault> faults;
};

// A run that broke at least one rule.
struct FailedRun {
    std::string disk;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;
    std::vector<testbed::InjectedFault> faults;
    std::vector<BrokenRunRule> broken;
    std::optional<testbed::BugCheck> bugCheck = {};  // the bug check that stopped it, if one did
};

// Failed runs alike in what failed: the same calls faulted with the same
// kind of fault (see failure_groups.h), and the same rules broken.
struct FailureGroup {
    uint64_t runs = 0;
    FailedRun first;  // the first of them, in sweep order
};

// A run the host stopped: the test bed's own host work failed (see
// testbed::TestBedError), so the run says nothing of the driver.
struct EnvironmentFailure {
    std::string disk;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;
    std::vector<testbed::InjectedFault> faults;
    std::string what;  // the test-bed error line
};

struct SweepSummary {
    uint64_t runs = 0;
    uint64_t disksOnNtfs = 0;  // starting disks swept on each file system
    uint64_t disksOnFat = 0;
    uint64_t faultsInjected = 0;  // faults that took effect, over all runs
    uint64_t runsHeld = 0;        // runs that held every rule
    uint64_t rulesBroken = 0;     // broken rules, over all runs
    // Runs stopped by a test-bed error: neither held nor broken, and not
    // counted against the driver.
    uint64_t environmentFailures = 0;
    std::vector<EnvironmentFailure> environment;  // the first few, in sweep order
    // A digest of every run's story: the kernel calls with their arguments
    // and outcomes, the messages, the status, and the disk afterwards. Two
    // ways of running the driver that agree on every run have the same.
    uint64_t storyDigest = 0;
    std::vector<FailedRun> failures;  // the first SweepOptions::keptFailures, in sweep order
    // Every failed run, grouped; in the sweep order of each group's first run.
    std::vector<FailureGroup> groups;
    // With SweepOptions::listOnly: the runs the sweep would make and check.
    std::vector<SweepRun> planned;
    std::chrono::nanoseconds elapsed{0};
};

struct SweepOptions {
    bool pairs = true;         // also every pair of faulted calls
    size_t keptFailures = 20;  // how many failed runs the summary keeps one by one
    size_t keptStopped = 20;   // how many runs stopped by the host it keeps
    // Only the runs it selects are checked and counted. The others the plan
    // rests on are still made (each disk's run without a fault, and each
    // single-fault run when pairs are planned): what the driver calls in
    // them decides where the next faults can go.
    RunFilter filter;
    // Plan the runs and list them in SweepSummary::planned, making only the
    // runs the plan rests on and checking none.
    bool listOnly = false;
    // Told of progress after each run, counting the runs checked; `total` is
    // 0 until the plan is known. A run made only for the plan tells it too,
    // with `done` unchanged, so a watcher knows the sweep is alive.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // The folder to stand in for drive C, emptied before each run; when
    // none is given, each run's drive C is held in memory (a MemoryVolume
    // laid down from the starting disk), which answers as a folder does
    // and makes no host call.
    std::optional<std::filesystem::path> driveC;
};

// Runs the sweep with `run` from each of `disks`, on options.driveC or in
// memory. A run whose process died is a failed run, and the sweep goes on
// with the rest.
SweepSummary RunSweep(const DriverRunner& run, const std::vector<StartingDisk>& disks,
                      const SweepOptions& options = {});

// "fault sweep: 1234 runs from 22 starting disks on NTFS and 21 on FAT, 2345
// faults injected, 1234 runs held every rule, 0 rules broken (3.2 s)"; with
// ", 3 runs stopped by a test-bed error" before the time when the host
// stopped any. A filtered sweep starts "filtered fault sweep (`filter`): ".
std::string SummaryLine(const SweepSummary& summary, std::string_view filter = {});

// "ZwCreateFile #2 returns 0xC0000022 STATUS_ACCESS_DENIED, ZwClose #1 ..."
std::string DescribeFaults(const std::vector<testbed::InjectedFault>& faults);

}  // namespace quarnhold::fault_sweep
