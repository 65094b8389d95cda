// failure_groups.cpp

#include "fault_sweep/failure_groups.h"

#include <algorithm>

namespace quarnhold::fault_sweep {
namespace {

// What two runs of a group share: the calls faulted with their kinds, and
// the rules broken.
std::string GroupKey(const FailedRun& failed)
{
    std::string key;
    for (const testbed::InjectedFault& fault : failed.faults) {
        key += std::to_string(static_cast<int>(fault.routine)) + "#" + std::to_string(fault.occurrence) + ":" +
               std::string(FaultKindName(KindOf(fault))) + " ";
    }
    key += "|";
    for (std::string_view rule : RulesBroken(failed)) key += " " + std::string(RuleId(rule));
    return key;
}

}  // namespace

FaultKind KindOf(const testbed::InjectedFault& fault)
{
    if (!fault.status) return FaultKind::Information;
    // The two top bits of an NTSTATUS are its severity.
    switch (*fault.status >> 30) {
        case 3:
            return FaultKind::Error;
        case 2:
            return FaultKind::Warning;
        case 1:
            return FaultKind::Informational;
        default:
            return FaultKind::Success;
    }
}

std::string_view FaultKindName(FaultKind kind)
{
    switch (kind) {
        case FaultKind::Error:
            return "error";
        case FaultKind::Warning:
            return "warning";
        case FaultKind::Informational:
            return "informational";
        case FaultKind::Success:
            return "success";
        case FaultKind::Information:
            return "information";
    }
    return "?";
}

std::string DescribeFaultKinds(const std::vector<testbed::InjectedFault>& faults)
{
    if (faults.empty()) return "no fault";
    std::string text;
    for (const testbed::InjectedFault& fault : faults) {
        if (!text.empty()) text += ", ";
        text += std::string(testbed::RoutineName(fault.routine)) + " #" + std::to_string(fault.occurrence);
        switch (KindOf(fault)) {
            case FaultKind::Error:
                text += " returns an error";
                break;
            case FaultKind::Warning:
                text += " returns a warning";
                break;
            case FaultKind::Informational:
                text += " returns an informational status";
                break;
            case FaultKind::Success:
                text += " returns a success status";
                break;
            case FaultKind::Information:
                text += " succeeds with another Information";
                break;
        }
    }
    return text;
}

std::vector<std::string_view> RulesBroken(const FailedRun& failed)
{
    std::vector<std::string_view> rules;
    for (const BrokenRunRule& broken : failed.broken) {
        if (std::find(rules.begin(), rules.end(), broken.rule) == rules.end()) rules.push_back(broken.rule);
    }
    return rules;
}

void FailureGrouping::Add(const FailedRun& failed)
{
    auto [at, added] = index_.try_emplace(GroupKey(failed), groups_.size());
    if (added) groups_.push_back({0, failed});
    ++groups_[at->second].runs;
}

}  // namespace quarnhold::fault_sweep
