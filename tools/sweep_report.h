// sweep_report.h
//
// What quarnhold-run --sweep shows: the plan, the failed runs grouped by what
// failed with the command that repeats each group's first run, the failed
// runs one by one when asked, and the summary line; as text or JSON. And
// the list of runs --list-runs asks for.

#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fault_sweep/fault_sweep.h"

namespace quarnhold::tools {

// What was swept, and how the report is to show it.
struct SweepScope {
    std::filesystem::path image;
    std::string machine = "i386";        // the image's, as the emulated CPU's
    std::string tool = "quarnhold-run";  // quarnhold-run as it was started, for the again: lines
    size_t disks = 0;                    // starting disks swept from
    bool pairs = true;
    // What the person narrowed the sweep to; all empty for the whole sweep.
    std::vector<std::string> startDisks;
    std::optional<testbed::FileSystem> fileSystem;
    std::vector<fault_sweep::FaultedCall> faultCalls;
    std::vector<testbed::NtStatus> faultStatuses;

    bool Filtered() const;
    // The options that narrowed it: "--start-disk clean_drive_c --fault-call ZwWriteFile".
    std::string FilterOptions() const;
};

// The options that make one run of the sweep alone: "--start-disk
// clean_drive_c --file-system fat --fault ZwWriteFile#1=0xC000007F", each
// word quoted for a shell.
std::string RunAloneOptions(const std::string& disk, testbed::FileSystem fileSystem,
                            const std::vector<testbed::InjectedFault>& faults);

// The lines before the sweep starts: what is swept, from where, with what.
void WriteSweepPlan(const SweepScope& scope, std::ostream& out);

// The failed runs in groups, then the first `listed` failed runs one by one
// (the summary holds those), the runs the host stopped, and the summary
// line.
void WriteSweepText(const SweepScope& scope, const fault_sweep::SweepSummary& summary, std::ostream& out);

nlohmann::ordered_json SweepToJson(const SweepScope& scope, const fault_sweep::SweepSummary& summary);

// The runs the sweep would check, one a line, as RunAloneOptions gives them.
void WriteRunList(const std::vector<fault_sweep::SweepRun>& runs, std::ostream& out);

nlohmann::ordered_json RunListJson(const SweepScope& scope, const std::vector<fault_sweep::SweepRun>& runs);

}  // namespace quarnhold::tools
