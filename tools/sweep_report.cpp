// sweep_report.cpp

#include "tools/sweep_report.h"

#include <cstdio>

#include "emulator/hex_text.h"
#include "testbed/nt_status.h"
#include "tools/display_text.h"
#include "tools/fault_option.h"

namespace quarnhold::tools {

void WriteSweepPlan(const std::filesystem::path& image, std::string_view machine, size_t disks, bool pairs,
                    std::ostream& out)
{
    out << "fault sweep of " << EscapeControls(image.string()) << " on the emulated " << machine << " CPU, from " << disks
        << " starting disks, each on NTFS and on FAT where it can be\n";
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
    out << "\n  " << (pairs ? "one fault per run, then every pair of faulted calls\n" : "one fault per run\n");
    out << "  after each run: the run sequence and its messages, every call's arguments as\n"
        << "  the driver's contract gives them, test.txt after a successful write, every\n"
        << "  handle closed once, 0xC0000182 returned, loader data untouched, stack under "
        << fault_sweep::PeakStackLimit << " bytes,\n  no kernel rule broken\n";
}

namespace {

// The quarnhold-run command that repeats one failed run alone, each word
// quoted for a shell so that it pastes back.
std::string AgainCommand(const std::filesystem::path& image, const std::string& disk, testbed::FileSystem fileSystem,
                         const std::vector<testbed::InjectedFault>& faults)
{
    std::string command = "quarnhold-run --start-disk " + ShellQuote(disk);
    if (fileSystem != testbed::FileSystem::Ntfs) {
        command += " --file-system " + std::string(testbed::FileSystemOption(fileSystem));
    }
    for (const testbed::InjectedFault& fault : faults) {
        command += " --fault " + ShellQuote(FaultOption(fault));
    }
    // "--" keeps an image named like an option from being taken for one.
    const std::string quoted = ShellQuote(image.string());
    return command + " --trace " + (quoted.front() == '-' ? "-- " : "") + quoted;
}

}  // namespace

void WriteSweepText(const std::filesystem::path& image, const fault_sweep::SweepSummary& summary, std::ostream& out)
{
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        out << "FAILED from " << failed.disk << " on " << testbed::FileSystemName(failed.fileSystem) << ", "
            << fault_sweep::DescribeFaults(failed.faults) << ":\n";
        for (const fault_sweep::BrokenRunRule& broken : failed.broken) {
            out << "  " << broken.rule << ": " << EscapeControls(broken.detail) << "\n";
        }
        out << "  again: " << AgainCommand(image, failed.disk, failed.fileSystem, failed.faults) << "\n";
    }
    uint64_t failedRuns = summary.runs - summary.runsHeld - summary.environmentFailures;
    if (failedRuns > summary.failures.size()) {
        out << "(" << failedRuns - summary.failures.size() << " more failed runs not shown)\n";
    }
    // Runs the host stopped say nothing of the driver, and are listed apart.
    for (const fault_sweep::EnvironmentFailure& stopped : summary.environment) {
        out << "STOPPED BY THE HOST from " << stopped.disk << " on " << testbed::FileSystemName(stopped.fileSystem)
            << ", " << fault_sweep::DescribeFaults(stopped.faults) << ":\n  " << EscapeControls(stopped.what)
            << "\n  again: " << AgainCommand(image, stopped.disk, stopped.fileSystem, stopped.faults) << "\n";
    }
    if (summary.environmentFailures > summary.environment.size()) {
        out << "(" << summary.environmentFailures - summary.environment.size()
            << " more runs stopped by the host not shown)\n";
    }
    out << fault_sweep::SummaryLine(summary) << "\n";
}

nlohmann::ordered_json SweepToJson(const std::filesystem::path& image, const fault_sweep::SweepSummary& summary)
{
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        nlohmann::ordered_json rules = nlohmann::ordered_json::array();
        for (const fault_sweep::BrokenRunRule& broken : failed.broken) {
            rules.push_back({{"rule", broken.rule}, {"detail", broken.detail}});
        }
        failures.push_back({{"disk", failed.disk},
                            {"fileSystem", testbed::FileSystemOption(failed.fileSystem)},
                            {"faults", fault_sweep::DescribeFaults(failed.faults)},
                            {"broken", rules},
                            {"again", AgainCommand(image, failed.disk, failed.fileSystem, failed.faults)}});
    }
    nlohmann::ordered_json stoppedByTheHost = nlohmann::ordered_json::array();
    for (const fault_sweep::EnvironmentFailure& stopped : summary.environment) {
        stoppedByTheHost.push_back({{"disk", stopped.disk},
                                    {"fileSystem", testbed::FileSystemOption(stopped.fileSystem)},
                                    {"faults", fault_sweep::DescribeFaults(stopped.faults)},
                                    {"testBedError", stopped.what},
                                    {"again", AgainCommand(image, stopped.disk, stopped.fileSystem, stopped.faults)}});
    }
    return {{"image", image.string()},
            {"runs", summary.runs},
            {"disksOnNtfs", summary.disksOnNtfs},
            {"disksOnFat", summary.disksOnFat},
            {"faultsInjected", summary.faultsInjected},
            {"runsHeld", summary.runsHeld},
            {"rulesBroken", summary.rulesBroken},
            {"environmentFailures", summary.environmentFailures},
            {"storyDigest", emulator::Hex(summary.storyDigest, 16)},
            {"seconds", std::chrono::duration<double>(summary.elapsed).count()},
            {"failures", failures},
            {"stoppedByTheHost", stoppedByTheHost}};
}

}  // namespace quarnhold::tools
