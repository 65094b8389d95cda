// sweep_report.cpp

#include "tools/sweep_report.h"

#include <cstdio>

#include "emulator/hex_text.h"
#include "fault_sweep/failure_groups.h"
#include "testbed/nt_status.h"
#include "tools/display_text.h"
#include "tools/fault_option.h"
#include "tools/json_fields.h"

namespace quarnhold::tools {
namespace {

using Json = nlohmann::ordered_json;

std::string Counted(uint64_t count, const std::string& one, const std::string& many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The quarnhold-run command that repeats one run alone, with every kernel
// call shown; each word quoted for a shell so that it pastes back.
std::string AgainCommand(const SweepScope& scope, const std::string& disk, testbed::FileSystem fileSystem,
                         const std::vector<testbed::InjectedFault>& faults)
{
    // "--" keeps an image named like an option from being taken for one.
    const std::string quoted = ShellQuote(scope.image.string());
    return ShellQuote(scope.tool) + " " + RunAloneOptions(disk, fileSystem, faults) + " --trace " +
           (quoted.front() == '-' ? "-- " : "") + quoted;
}

// "from clean_drive_c on NTFS, ZwWriteFile #1 returns 0xC0000001 STATUS_UNSUCCESSFUL"
std::string DescribeRun(const std::string& disk, testbed::FileSystem fileSystem,
                        const std::vector<testbed::InjectedFault>& faults)
{
    return "from " + disk + " on " + std::string(testbed::FileSystemName(fileSystem)) + ", " +
           fault_sweep::DescribeFaults(faults);
}

// A failed run's rule lines and the command that repeats it.
void WriteFailedRun(const SweepScope& scope, const fault_sweep::FailedRun& failed, std::ostream& out)
{
    for (const fault_sweep::BrokenRunRule& broken : failed.broken) {
        out << "  " << broken.rule << ": " << EscapeControls(broken.detail) << "\n";
    }
    out << "  again: " << AgainCommand(scope, failed.disk, failed.fileSystem, failed.faults) << "\n";
}

uint64_t FailedRuns(const fault_sweep::SweepSummary& summary)
{
    return summary.runs - summary.runsHeld - summary.environmentFailures;
}

Json InjectedJson(const std::vector<testbed::InjectedFault>& faults)
{
    Json injected = Json::array();
    for (const testbed::InjectedFault& fault : faults) {
        Json entry = FaultJson(fault);
        entry["kind"] = fault_sweep::FaultKindName(fault_sweep::KindOf(fault));
        injected.push_back(entry);
    }
    return injected;
}

Json FailedRunJson(const SweepScope& scope, const fault_sweep::FailedRun& failed)
{
    return {{"disk", failed.disk},
            {"fileSystem", testbed::FileSystemOption(failed.fileSystem)},
            {"faults", fault_sweep::DescribeFaults(failed.faults)},
            {"injected", InjectedJson(failed.faults)},
            {"broken", BrokenRulesJson(failed.broken)},
            {"bugCheck", nullptr},  // never one now: see single_run.cpp
            {"again", AgainCommand(scope, failed.disk, failed.fileSystem, failed.faults)}};
}

Json FilterJson(const SweepScope& scope)
{
    if (!scope.Filtered()) return nullptr;
    Json calls = Json::array();
    for (const fault_sweep::FaultedCall& call : scope.faultCalls) calls.push_back(FaultCallOption(call));
    Json statuses = Json::array();
    for (testbed::NtStatus status : scope.faultStatuses) statuses.push_back(emulator::Hex(status, 8));
    return {{"startDisks", scope.startDisks.empty() ? Json(nullptr) : Json(scope.startDisks)},
            {"fileSystem", scope.fileSystem ? Json(testbed::FileSystemOption(*scope.fileSystem)) : Json(nullptr)},
            {"faultCalls", calls},
            {"faultStatuses", statuses},
            {"options", scope.FilterOptions()}};
}

}  // namespace

bool SweepScope::Filtered() const
{
    return !startDisks.empty() || fileSystem || !faultCalls.empty() || !faultStatuses.empty();
}

std::string SweepScope::FilterOptions() const
{
    std::string options;
    const auto add = [&](const std::string& option, const std::string& value) {
        options += (options.empty() ? "" : " ") + option + " " + ShellQuote(value);
    };
    for (const std::string& disk : startDisks) add("--start-disk", disk);
    if (fileSystem) add("--file-system", std::string(testbed::FileSystemOption(*fileSystem)));
    for (const fault_sweep::FaultedCall& call : faultCalls) add("--fault-call", FaultCallOption(call));
    for (testbed::NtStatus status : faultStatuses) add("--fault-status", StatusOption(status));
    return options;
}

std::string RunAloneOptions(const std::string& disk, testbed::FileSystem fileSystem,
                            const std::vector<testbed::InjectedFault>& faults)
{
    std::string options = "--start-disk " + ShellQuote(disk);
    if (fileSystem != testbed::FileSystem::Ntfs) {
        options += " --file-system " + std::string(testbed::FileSystemOption(fileSystem));
    }
    for (const testbed::InjectedFault& fault : faults) {
        options += " --fault " + ShellQuote(FaultOption(fault));
    }
    return options;
}

void WriteSweepPlan(const SweepScope& scope, std::ostream& out)
{
    out << "fault sweep of " << EscapeControls(scope.image.string()) << " on the emulated " << scope.machine
        << " CPU, from "
        << Counted(scope.disks, "starting disk", "starting disks") << ", "
        << (scope.fileSystem ? "each on " + std::string(testbed::FileSystemName(*scope.fileSystem))
                             : std::string(scope.disks == 1 ? "on NTFS and on FAT where it can be"
                                                            : "each on NTFS and on FAT where it can be"))
        << "\n";
    out << "  every ZwCreateFile, ZwWriteFile and ZwClose returns in turn:\n";
    for (testbed::NtStatus status : fault_sweep::SweptStatuses()) {
        out << "    " << testbed::DescribeStatus(status) << "\n";
    }
    out << "  every ZwCreateFile that succeeds reports in turn Information";
    const char* separator = " ";
    for (uint32_t information : fault_sweep::SweptInformation()) {
        char number[16];
        std::snprintf(number, sizeof(number), information > 9 ? "0x%X" : "%u", information);
        out << separator << number;
        separator = ", ";
    }
    out << "\n  " << (scope.pairs ? "one fault per run, then every pair of faulted calls\n" : "one fault per run\n");
    if (scope.Filtered()) {
        out << "  filtered by " << EscapeControls(scope.FilterOptions())
            << ": only the runs it selects are checked and counted\n";
    }
    out << "  after each run: the run sequence and its messages, every call's arguments as\n"
        << "  the driver's contract gives them, test.txt after a successful write, every\n"
        << "  handle closed once, 0xC0000182 returned, loader data untouched, stack under "
        << fault_sweep::PeakStackLimit << " bytes,\n  no kernel rule broken\n";
}

void WriteSweepText(const SweepScope& scope, const fault_sweep::SweepSummary& summary, std::ostream& out)
{
    const uint64_t failedRuns = FailedRuns(summary);
    if (failedRuns != 0) {
        out << Counted(failedRuns, "failed run", "failed runs") << " in "
            << Counted(summary.groups.size(), "group", "groups") << ", by the calls faulted and the rules broken:\n";
    }
    for (const fault_sweep::FailureGroup& group : summary.groups) {
        const fault_sweep::FailedRun& first = group.first;
        out << "FAILED " << Counted(group.runs, "run", "runs") << ": " << fault_sweep::DescribeFaultKinds(first.faults)
            << "\n"
            << "  " << (group.runs == 1 ? "the run " : "the first ")
            << DescribeRun(first.disk, first.fileSystem, first.faults) << ":\n";
        WriteFailedRun(scope, first, out);
    }
    if (!summary.failures.empty()) {
        out << "failed runs one by one"
            << (summary.failures.size() < failedRuns ? " (the first " + std::to_string(summary.failures.size()) +
                                                           " of " + std::to_string(failedRuns) + ")"
                                                     : std::string())
            << ":\n";
    }
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        out << "FAILED " << DescribeRun(failed.disk, failed.fileSystem, failed.faults) << ":\n";
        WriteFailedRun(scope, failed, out);
    }
    if (failedRuns > summary.failures.size() && failedRuns > summary.groups.size()) {
        out << "("
            << (summary.failures.empty() ? "--max-failures N or all lists the failed runs one by one"
                                         : std::to_string(failedRuns - summary.failures.size()) +
                                               " more failed runs not shown; --max-failures all lists them")
            << ")\n";
    }
    // Runs the host stopped say nothing of the driver, and are listed apart.
    for (const fault_sweep::EnvironmentFailure& stopped : summary.environment) {
        out << "STOPPED BY THE HOST " << DescribeRun(stopped.disk, stopped.fileSystem, stopped.faults) << ":\n  "
            << EscapeControls(stopped.what)
            << "\n  again: " << AgainCommand(scope, stopped.disk, stopped.fileSystem, stopped.faults) << "\n";
    }
    if (summary.environmentFailures > summary.environment.size()) {
        out << "(" << summary.environmentFailures - summary.environment.size()
            << " more runs stopped by the host not shown)\n";
    }
    out << fault_sweep::SummaryLine(summary, scope.FilterOptions()) << "\n";
}

Json SweepToJson(const SweepScope& scope, const fault_sweep::SweepSummary& summary)
{
    const uint64_t failedRuns = FailedRuns(summary);
    Json failures = Json::array();
    for (const fault_sweep::FailedRun& failed : summary.failures) failures.push_back(FailedRunJson(scope, failed));
    Json groups = Json::array();
    for (const fault_sweep::FailureGroup& group : summary.groups) {
        Json faults = Json::array();
        for (const testbed::InjectedFault& fault : group.first.faults) {
            faults.push_back({{"routine", testbed::RoutineName(fault.routine)},
                              {"occurrence", fault.occurrence},
                              {"kind", fault_sweep::FaultKindName(fault_sweep::KindOf(fault))}});
        }
        Json rules = Json::array();
        for (std::string_view rule : fault_sweep::RulesBroken(group.first)) {
            rules.push_back({{"id", fault_sweep::RuleId(rule)}, {"rule", rule}});
        }
        groups.push_back(
            {{"runs", group.runs}, {"faults", faults}, {"rules", rules}, {"first", FailedRunJson(scope, group.first)}});
    }
    Json stoppedByTheHost = Json::array();
    for (const fault_sweep::EnvironmentFailure& stopped : summary.environment) {
        stoppedByTheHost.push_back({{"disk", stopped.disk},
                                    {"fileSystem", testbed::FileSystemOption(stopped.fileSystem)},
                                    {"faults", fault_sweep::DescribeFaults(stopped.faults)},
                                    {"injected", InjectedJson(stopped.faults)},
                                    {"testBedError", stopped.what},
                                    {"again", AgainCommand(scope, stopped.disk, stopped.fileSystem, stopped.faults)}});
    }
    return {{"schema", JsonSchema},
            {"image", scope.image.string()},
            {"machine", scope.machine},
            {"filter", FilterJson(scope)},
            {"pairs", scope.pairs},
            {"runs", summary.runs},
            {"disksOnNtfs", summary.disksOnNtfs},
            {"disksOnFat", summary.disksOnFat},
            {"faultsInjected", summary.faultsInjected},
            {"runsHeld", summary.runsHeld},
            {"rulesBroken", summary.rulesBroken},
            {"environmentFailures", summary.environmentFailures},
            {"storyDigest", emulator::Hex(summary.storyDigest, 16)},
            {"seconds", std::chrono::duration<double>(summary.elapsed).count()},
            {"failedRuns", failedRuns},
            {"failures", failures},
            {"failuresCut", failures.size() < failedRuns},
            {"failuresLeftOut", failedRuns - failures.size()},
            {"groups", groups},
            {"stoppedByTheHost", stoppedByTheHost},
            {"stoppedLeftOut", summary.environmentFailures - summary.environment.size()}};
}

void WriteRunList(const std::vector<fault_sweep::SweepRun>& runs, std::ostream& out)
{
    for (const fault_sweep::SweepRun& run : runs) {
        out << RunAloneOptions(run.disk, run.fileSystem, run.faults) << "\n";
    }
}

Json RunListJson(const SweepScope& scope, const std::vector<fault_sweep::SweepRun>& runs)
{
    Json listed = Json::array();
    for (const fault_sweep::SweepRun& run : runs) {
        listed.push_back({{"disk", run.disk},
                          {"fileSystem", testbed::FileSystemOption(run.fileSystem)},
                          {"injected", InjectedJson(run.faults)},
                          {"options", RunAloneOptions(run.disk, run.fileSystem, run.faults)}});
    }
    return {{"schema", JsonSchema}, {"image", scope.image.string()}, {"filter", FilterJson(scope)},
            {"pairs", scope.pairs}, {"plannedRuns", runs.size()},    {"planned", listed}};
}

}  // namespace quarnhold::tools
