// failure_groups.h
//
// Failed sweep runs grouped by what failed, so that a driver with one bug
// shows one group rather than a page of runs: runs are alike when they
// faulted the same calls (routine and occurrence) with the same kind of
// fault, and broke the same rules. The disk, the file system and the exact
// status may differ within a group.

#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/fault_sweep.h"

namespace quarnhold::fault_sweep {

// What a fault does to its call, by the NTSTATUS severity it returns, or
// the Information it reports in place of the kernel's.
enum class FaultKind { Error, Warning, Informational, Success, Information };

FaultKind KindOf(const testbed::InjectedFault& fault);

// "error", "warning", "informational", "success", "information".
std::string_view FaultKindName(FaultKind kind);

// "ZwWriteFile #1 returns an error, ZwClose #2 returns a success status", or
// "no fault".
std::string DescribeFaultKinds(const std::vector<testbed::InjectedFault>& faults);

// The rules `failed` broke, each once, in the order it broke them.
std::vector<std::string_view> RulesBroken(const FailedRun& failed);

// Collects failed runs into groups, in the order each group first appears.
class FailureGrouping {
public:
    void Add(const FailedRun& failed);
    std::vector<FailureGroup> Take() { return std::move(groups_); }

private:
    std::map<std::string, size_t> index_;  // a group's key, and where it is in groups_
    std::vector<FailureGroup> groups_;
};

}  // namespace quarnhold::fault_sweep
