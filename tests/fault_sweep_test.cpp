// fault_sweep_test.cpp
//
// The run rules catch each kind of wrong run, and the host-linked driver
// and the emulated image hold every rule under every single and double fault
// from every starting disk, telling the same story on each run.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "emulator/pe_image.h"
#include "fault_sweep/fault_sweep.h"
#include "testbed/nt_status.h"
#include "tests/support/disk_state.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

namespace status = testbed::status;
using fault_sweep::BrokenRunRule;
using fault_sweep::CheckRunRules;
using testbed::KernelCall;
using testbed::Routine;

// A sound run from `disk` with `faults`, host-linked.
RunOutcome SoundRun(std::string_view disk, std::vector<testbed::InjectedFault> faults = {})
{
    ScratchFolder driveC;
    const fault_sweep::StartingDisk& start = fault_sweep::FindStartingDisk(disk);
    LayDown(driveC.path(), start.items);
    testbed::KernelModel model = fault_sweep::ModelFor(start, driveC.path(), std::move(faults));
    return RunHostLinked(model);
}

// The index of the `occurrence`-th call of `routine`.
size_t IndexOf(const RunOutcome& outcome, Routine routine, unsigned occurrence = 1)
{
    for (size_t i = 0; i < outcome.calls.size(); ++i) {
        if (outcome.calls[i].routine == routine && --occurrence == 0) return i;
    }
    throw std::out_of_range("no such call");
}

struct WrongRun {
    std::string name;
    std::string disk;
    std::vector<testbed::InjectedFault> faults;
    std::function<void(RunOutcome&)> spoil;  // makes a sound run wrong
    std::string_view rule;                   // the rule that must catch it
};

void PrintTo(const WrongRun& wrong, std::ostream* out) { *out << wrong.name; }

const testbed::InjectedFault WriteFails{Routine::ZwWriteFile, 1, status::DiskFull, std::nullopt};
const testbed::InjectedFault OpenFails{Routine::ZwCreateFile, 3, status::AccessDenied, std::nullopt};

const std::vector<WrongRun> WrongRuns{
    {"missing_outcome_message", "clean_drive_c", {},
     [](RunOutcome& o) {
         size_t at = IndexOf(o, Routine::ZwCreateFile) + 1;  // "目录创建"
         o.calls.erase(o.calls.begin() + at);
         o.debugOutput.erase(o.debugOutput.begin() + 2);
     },
     fault_sweep::rule::RunSequence},
    {"failure_message_with_another_status", "clean_drive_c", {WriteFails},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwWriteFile)].status = status::AccessDenied; },
     fault_sweep::rule::RunSequence},
    {"outcome_message_for_unexpected_information", "clean_drive_c",
     {{Routine::ZwCreateFile, 1, std::nullopt, 5}},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile)].information = 2; },
     fault_sweep::rule::RunSequence},
    {"write_after_failed_open", "clean_drive_c", {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile, 3)].status = status::AccessDenied; },
     fault_sweep::rule::RunSequence},
    {"no_close_after_failed_write", "clean_drive_c", {WriteFails},
     [](RunOutcome& o) { o.calls.erase(o.calls.begin() + IndexOf(o, Routine::ZwClose, 3)); },
     fault_sweep::rule::RunSequence},
    {"close_of_another_handle", "clean_drive_c", {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwClose, 2)].handle += 4; }, fault_sweep::rule::RunSequence},
    {"close_after_failed_open", "clean_drive_c", {OpenFails},
     [](RunOutcome& o) {
         KernelCall close{Routine::ZwClose, status::InvalidHandle, 0, std::nullopt, false, "handle 0x00000000"};
         o.calls.insert(o.calls.begin() + IndexOf(o, Routine::ZwCreateFile, 3) + 2, close);
     },
     fault_sweep::rule::RunSequence},
    {"wrong_file_opened", "after_a_run", {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile, 3)].detail.replace(1, 1, "/"); },
     fault_sweep::rule::RunSequence},
    {"call_after_exit_message", "clean_drive_c", {},
     [](RunOutcome& o) { o.calls.push_back(o.calls[IndexOf(o, Routine::ZwClose)]); }, fault_sweep::rule::RunSequence},
    {"handle_left_open", "clean_drive_c", {},
     [](RunOutcome& o) { o.openHandles.push_back({0x80000004, "Quarnhold", 0, true}); },
     fault_sweep::rule::HandlesClosed},
    {"success_returned", "clean_drive_c", {}, [](RunOutcome& o) { o.status = status::Success; },
     fault_sweep::rule::FailureStatus},
    {"driver_object_written", "no_drive_c", {}, [](RunOutcome& o) { o.driverObjectUntouched = false; },
     fault_sweep::rule::LoaderDataUntouched},
    {"registry_path_read", "no_drive_c", {}, [](RunOutcome& o) { o.registryPathUntouched = false; },
     fault_sweep::rule::LoaderDataUntouched},
    {"deep_stack", "no_drive_c", {}, [](RunOutcome& o) { o.peakStackBytes = 4096; }, fault_sweep::rule::ShallowStack},
    {"kernel_rule_broken", "no_drive_c", {},
     [](RunOutcome& o) { o.brokenRules.push_back({"ZwClose of a handle that is not open", "ZwClose(0x00000004)"}); },
     fault_sweep::rule::KernelRules},
    {"guest_fault", "no_drive_c", {}, [](RunOutcome& o) { o.fault = "execution reached 0x00000000"; },
     fault_sweep::rule::RunCompleted},
};

class RunRulesTest : public ::testing::TestWithParam<WrongRun> {};

TEST_P(RunRulesTest, CatchWhatIsWrong)
{
    const WrongRun& wrong = GetParam();
    RunOutcome outcome = SoundRun(wrong.disk, wrong.faults);
    outcome.peakStackBytes = 96;
    ASSERT_TRUE(CheckRunRules(outcome).empty()) << CheckRunRules(outcome).front().detail;

    wrong.spoil(outcome);
    std::vector<BrokenRunRule> broken = CheckRunRules(outcome);
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_EQ(broken[0].rule, wrong.rule) << broken[0].detail;
    EXPECT_FALSE(broken[0].detail.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RunRulesTest, ::testing::ValuesIn(WrongRuns),
                         [](const ::testing::TestParamInfo<WrongRun>& info) { return info.param.name; });

// Every failure of every call, and every pair of them, from every disk:
// each way holds every rule, and both tell the same story on every run.
class FaultSweep : public ::testing::Test {
protected:
    static fault_sweep::SweepSummary Sweep(const char* way, const fault_sweep::DriverRunner& run)
    {
        fault_sweep::SweepSummary summary = fault_sweep::RunSweep(run, fault_sweep::StartingDisks());
        std::cout << way << ": " << fault_sweep::SummaryLine(summary) << "\n";
        for (const fault_sweep::FailedRun& failed : summary.failures) {
            ADD_FAILURE() << way << " from " << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults)
                          << ": " << failed.broken.front().rule << ": " << failed.broken.front().detail;
        }
        for (const fault_sweep::EnvironmentFailure& failed : summary.environment) {
            ADD_FAILURE() << way << " from " << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults)
                          << ": " << failed.what;
        }
        EXPECT_EQ(summary.runsHeld, summary.runs);
        EXPECT_EQ(summary.rulesBroken, 0u);
        // A pair puts two faults in a run, so there are more faults than runs.
        EXPECT_GT(summary.faultsInjected, summary.runs);
        return summary;
    }
};

TEST_F(FaultSweep, BothWaysHoldEveryRuleAndAgree)
{
    fault_sweep::SweepSummary host =
        Sweep("host-linked driver", [](testbed::KernelModel& model) { return RunHostLinked(model); });
    emulator::DriverImageRunner image(emulator::ReadPeImage(BuiltImage()));
    fault_sweep::SweepSummary emulated = Sweep("emulated image", [&](testbed::KernelModel& model) {
        return fault_sweep::RunEmulated(model, image);
    });
    EXPECT_EQ(host.runs, emulated.runs);
    EXPECT_EQ(host.faultsInjected, emulated.faultsInjected);
    EXPECT_EQ(host.storyDigest, emulated.storyDigest) << "the two ways differ on some run";
}

// A runner that does not pass the faults on (here: one that answers every
// run with the same sound outcome) fails every faulted run, so a sweep
// cannot report faults it never made.
TEST(FaultSweepFinds, FaultsThatNeverTookEffect)
{
    const RunOutcome canned = SoundRun("clean_drive_c");
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.keptFailures = SIZE_MAX;
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep([&](testbed::KernelModel&) { return canned; },
                                                              {fault_sweep::FindStartingDisk("clean_drive_c")}, options);
    EXPECT_EQ(summary.runsHeld, 1u);  // the run without a fault
    EXPECT_EQ(summary.faultsInjected, 0u);
    ASSERT_EQ(summary.failures.size(), summary.runs - 1);
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        ASSERT_EQ(failed.broken.size(), 1u);
        EXPECT_EQ(failed.broken[0].rule, fault_sweep::rule::FaultsTookEffect);
        EXPECT_EQ(failed.broken[0].detail, "1 planned, 0 took effect");
    }
}

// An image whose only bug is on the path of a failed write: it passes on a
// healthy disk, and the sweep finds the leak on every run where the write
// fails, and on no other.
TEST(FaultSweepFinds, ABugOnOneFailurePath)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(std::filesystem::path(QUARNHOLD_GUEST_DRIVER_DIR) /
                                                            "skips_close_after_failed_write.sys"));
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.keptFailures = SIZE_MAX;
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(
        [&](testbed::KernelModel& model) { return fault_sweep::RunEmulated(model, image); },
        fault_sweep::StartingDisks(), options);

    ASSERT_FALSE(summary.failures.empty());
    EXPECT_EQ(summary.runs - summary.runsHeld, summary.failures.size());
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        bool writeFails = failed.disk == "test_file_is_a_directory";  // a directory refuses the write
        for (const testbed::InjectedFault& fault : failed.faults) {
            writeFails = writeFails || (fault.routine == Routine::ZwWriteFile && fault.status);
        }
        EXPECT_TRUE(writeFails) << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults);
        bool leaked = false;
        for (const BrokenRunRule& broken : failed.broken) {
            leaked = leaked || broken.rule == fault_sweep::rule::HandlesClosed;
        }
        EXPECT_TRUE(leaked) << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults);
    }
}

}  // namespace
}  // namespace quarnhold::tests
