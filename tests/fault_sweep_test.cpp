// fault_sweep_test.cpp
//
// The run rules catch each kind of wrong run, and the host-linked driver
// and the emulated images (i386 and amd64) hold every rule under every
// single and double fault from every starting disk, telling the same story
// on each run.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iostream>

#include "emulator/pe_image.h"
#include "emulator/hex_text.h"
#include "fault_sweep/driver_contract.h"
#include "fault_sweep/expected_messages.h"
#include "fault_sweep/failure_groups.h"
#include "fault_sweep/fault_sweep.h"
#include "isolation/isolated_image_runner.h"
#include "isolation/isolated_sweep.h"
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

// A host-linked run and drive C around it.
struct RunAndDisk {
    RunOutcome outcome;
    std::vector<DiskItem> before;
    std::vector<DiskItem> after;
};

// A sound run from `disk` on NTFS with `faults`, host-linked.
RunAndDisk SoundRun(std::string_view disk, std::vector<testbed::InjectedFault> faults = {})
{
    ScratchFolder driveC;
    const fault_sweep::StartingDisk& start = fault_sweep::FindStartingDisk(disk);
    LayDown(driveC.path(), start.items);
    testbed::KernelModel model =
        fault_sweep::ModelFor(start, driveC.path(), testbed::FileSystem::Ntfs, std::move(faults));
    RunOutcome outcome = RunHostLinked(model);
    return {std::move(outcome), start.items, ReadDisk(driveC.path())};
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
    // Makes the disk after the run wrong instead, or as well.
    std::function<void(std::vector<DiskItem>&)> spoilDisk = [](std::vector<DiskItem>&) {};
};

// The recorded arguments of the `occurrence`-th create or write.
testbed::CreateFileRequest& CreateArguments(RunOutcome& o, unsigned occurrence)
{
    return *o.calls[IndexOf(o, Routine::ZwCreateFile, occurrence)].create;
}
testbed::WriteArguments& WriteArguments(RunOutcome& o)
{
    return *o.calls[IndexOf(o, Routine::ZwWriteFile)].write;
}

// test.txt on a spoiled disk.
DiskItem& TestFile(std::vector<DiskItem>& disk)
{
    for (DiskItem& item : disk) {
        if (item.path == "Quarnhold/test.txt") return item;
    }
    throw std::out_of_range("no test.txt");
}

const auto Untouched = [](RunOutcome&) {};

void PrintTo(const WrongRun& wrong, std::ostream* out)
{
    *out << wrong.name;
}

const testbed::InjectedFault WriteFails{Routine::ZwWriteFile, 1, status::DiskFull, std::nullopt};
const testbed::InjectedFault OpenFails{Routine::ZwCreateFile, 3, status::AccessDenied, std::nullopt};
const testbed::InjectedFault DirectoryWithOplockBreak{Routine::ZwCreateFile, 1, status::OplockBreakInProgress,
                                                      std::nullopt};

const std::vector<WrongRun> WrongRuns{
    {"missing_outcome_message",
     "clean_drive_c",
     {},
     [](RunOutcome& o) {
         size_t at = IndexOf(o, Routine::ZwCreateFile) + 1;  // "目录创建"
         o.calls.erase(o.calls.begin() + at);
         o.debugOutput.erase(o.debugOutput.begin() + 2);
     },
     fault_sweep::rule::RunSequence},
    {"failure_message_with_another_status",
     "clean_drive_c",
     {WriteFails},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwWriteFile)].status = status::AccessDenied; },
     fault_sweep::rule::RunSequence},
    {"outcome_message_for_unexpected_information",
     "clean_drive_c",
     {{Routine::ZwCreateFile, 1, std::nullopt, 5}},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile)].information = 2; },
     fault_sweep::rule::RunSequence},
    {"write_after_failed_open",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile, 3)].status = status::AccessDenied; },
     fault_sweep::rule::RunSequence},
    {"no_close_after_failed_write",
     "clean_drive_c",
     {WriteFails},
     [](RunOutcome& o) { o.calls.erase(o.calls.begin() + IndexOf(o, Routine::ZwClose, 3)); },
     fault_sweep::rule::RunSequence},
    {"close_of_another_handle",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwClose, 2)].handle += 4; },
     fault_sweep::rule::RunSequence},
    {"close_after_failed_open",
     "clean_drive_c",
     {OpenFails},
     [](RunOutcome& o) {
         KernelCall close;
         close.routine = Routine::ZwClose;
         close.status = status::InvalidHandle;
         close.detail = "handle 0x00000000";
         o.calls.insert(o.calls.begin() + IndexOf(o, Routine::ZwCreateFile, 3) + 2, close);
     },
     fault_sweep::rule::RunSequence},
    {"wrong_file_opened",
     "after_a_run",
     {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwCreateFile, 3)].detail.replace(1, 1, "/"); },
     fault_sweep::rule::RunSequence},
    {"call_after_exit_message",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { o.calls.push_back(o.calls[IndexOf(o, Routine::ZwClose)]); },
     fault_sweep::rule::RunSequence},
    {"handle_left_open",
     "clean_drive_c",
     {},
     [](RunOutcome& o) {
         o.openHandles.push_back({0x80000004, "Quarnhold", 0, true});
     },
     fault_sweep::rule::HandlesClosed},
    {"success_returned",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { o.status = status::Success; },
     fault_sweep::rule::FailureStatus},
    {"driver_object_written",
     "no_drive_c",
     {},
     [](RunOutcome& o) { o.driverObjectUntouched = false; },
     fault_sweep::rule::LoaderDataUntouched},
    {"registry_path_read",
     "no_drive_c",
     {},
     [](RunOutcome& o) { o.registryPathUntouched = false; },
     fault_sweep::rule::LoaderDataUntouched},
    {"deep_stack", "no_drive_c", {}, [](RunOutcome& o) { o.peakStackBytes = 4096; }, fault_sweep::rule::ShallowStack},
    {"kernel_rule_broken",
     "no_drive_c",
     {},
     [](RunOutcome& o) {
         o.brokenRules.push_back({"ZwClose of a handle that is not open", "ZwClose(0x00000004)"});
     },
     fault_sweep::rule::KernelRules},
    {"guest_fault",
     "no_drive_c",
     {},
     [](RunOutcome& o) { o.fault = "execution reached 0x00000000"; },
     fault_sweep::rule::RunCompleted},
    // What EAX held when the guest stopped is no status DriverEntry
    // returned: the stop is the one rule broken.
    {"guest_fault_with_another_status_in_eax",
     "no_drive_c",
     {},
     [](RunOutcome& o) {
         o.fault = "stack overflow";
         o.status = status::InvalidHandle;
     },
     fault_sweep::rule::RunCompleted},
    {"write_on_another_handle",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { o.calls[IndexOf(o, Routine::ZwWriteFile)].handle -= 4; },
     fault_sweep::rule::RunSequence},
    // A success status comes with a handle, which the failure branch must close.
    {"no_close_after_a_create_that_returned_a_success_status",
     "clean_drive_c",
     {DirectoryWithOplockBreak},
     [](RunOutcome& o) { o.calls.erase(o.calls.begin() + IndexOf(o, Routine::ZwClose)); },
     fault_sweep::rule::RunSequence},
    // The arguments: each one a flag or a byte away from the contract, in a
    // run whose messages still agree with what the kernel answered.
    {"directory_created_with_file_create",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 1).createDisposition = 2; },
     fault_sweep::rule::ContractArguments},
    {"directory_opened_without_synchronize",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 1).desiredAccess = 0; },
     fault_sweep::rule::ContractArguments},
    {"test_file_opened_for_appending",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 3).desiredAccess = 0x00100004; },
     fault_sweep::rule::ContractArguments},
    {"test_file_opened_sharing_writes",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 3).shareAccess = 3; },
     fault_sweep::rule::ContractArguments},
    {"create_without_case_insensitivity",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 2).attributes = 0x200; },
     fault_sweep::rule::ContractArguments},
    {"name_counted_without_its_terminator",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { CreateArguments(o, 2).objectName->maximumLength -= 2; },
     fault_sweep::rule::ContractArguments},
    {"write_of_19_bytes",
     "clean_drive_c",
     {},
     [](RunOutcome& o) {
         WriteArguments(o).length = 19;
         WriteArguments(o).data.pop_back();
     },
     fault_sweep::rule::ContractArguments},
    {"write_with_a_byte_offset",
     "clean_drive_c",
     {},
     [](RunOutcome& o) { WriteArguments(o).byteOffset = 0; },
     fault_sweep::rule::ContractArguments},
    {"format_with_lower_case_hex",
     "clean_drive_c",
     {WriteFails},
     [](RunOutcome& o) {
         std::string& format = o.calls[IndexOf(o, Routine::DbgPrint, 8)].format;
         format.back() = 'x';
     },
     fault_sweep::rule::ContractArguments},
    // The disk after a write that returned 0.
    {"text_with_a_wrong_byte_on_disk",
     "clean_drive_c",
     {},
     Untouched,
     fault_sweep::rule::TestFileWritten,
     [](std::vector<DiskItem>& disk) { TestFile(disk).content[5] ^= 1; }},
    {"longer_file_cut_to_the_text",
     "test_file_longer_than_the_text",
     {},
     Untouched,
     fault_sweep::rule::TestFileWritten,
     [](std::vector<DiskItem>& disk) { TestFile(disk).content.resize(20); }},
    {"tail_of_a_longer_file_changed",
     "test_file_longer_than_the_text",
     {},
     Untouched,
     fault_sweep::rule::TestFileWritten,
     [](std::vector<DiskItem>& disk) { TestFile(disk).content.back() = '!'; }},
    {"shorter_file_not_grown_to_the_text",
     "test_file_shorter_than_the_text",
     {},
     Untouched,
     fault_sweep::rule::TestFileWritten,
     [](std::vector<DiskItem>& disk) { TestFile(disk).content = TestFile(disk).content.substr(0, 5); }},
};

class RunRulesTest : public ::testing::TestWithParam<WrongRun> {};

TEST_P(RunRulesTest, CatchWhatIsWrong)
{
    const WrongRun& wrong = GetParam();
    RunAndDisk run = SoundRun(wrong.disk, wrong.faults);
    run.outcome.peakStackBytes = 96;
    ASSERT_TRUE(CheckRunRules(run.outcome, {run.before, run.after}).empty())
        << CheckRunRules(run.outcome, {run.before, run.after}).front().detail;

    wrong.spoil(run.outcome);
    wrong.spoilDisk(run.after);
    std::vector<BrokenRunRule> broken = CheckRunRules(run.outcome, {run.before, run.after});
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_EQ(broken[0].rule, wrong.rule) << broken[0].detail;
    EXPECT_FALSE(broken[0].detail.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RunRulesTest, ::testing::ValuesIn(WrongRuns),
                         [](const ::testing::TestParamInfo<WrongRun>& info) { return info.param.name; });

// The contract asks for OBJECT_ATTRIBUTES.Length to be the caller's own
// sizeof(OBJECT_ATTRIBUTES): 24 bytes from an i386 driver, 48 from an amd64
// one. Either machine's size passes on its own machine and fails on the
// other, the amd64 driver that kept the i386 size above all.
TEST(DriverContract, TakesTheLengthOfEitherMachine)
{
    struct Case {
        uint32_t native;
        uint32_t passed;
        bool holds;
    };
    const Case cases[] = {{24, 24, true}, {48, 48, true}, {48, 24, false}, {24, 48, false}};
    const RunOutcome sound = SoundRun("clean_drive_c").outcome;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.passed) + " bytes passed, " + std::to_string(c.native) + " native");
        std::vector<KernelCall> calls = sound.calls;
        for (KernelCall& call : calls) {
            if (!call.create) continue;
            call.create->nativeObjectAttributesSize = c.native;
            call.create->objectAttributesLength = c.passed;
        }
        const std::optional<std::string> wrong = fault_sweep::CheckContractArguments(calls);
        EXPECT_EQ(!wrong.has_value(), c.holds) << wrong.value_or("");
        if (wrong) {
            EXPECT_NE(wrong->find("ObjectAttributes->Length is " + emulator::Hex(c.passed, 8) + ", not " +
                                  emulator::Hex(c.native, 8)),
                      std::string::npos)
                << *wrong;
        }
    }
}

// Every failure of every call, and every pair of them, from every disk:
// each way holds every rule, and both tell the same story on every run.
class FaultSweep : public ::testing::Test {
protected:
    // Checks the summary of a whole sweep made one way.
    static fault_sweep::SweepSummary Checked(const char* way, fault_sweep::SweepSummary summary)
    {
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
    fault_sweep::SweepSummary host = Checked(
        "host-linked driver",
        fault_sweep::RunSweep(fault_sweep::InProcess([](testbed::KernelModel& model) { return RunHostLinked(model); }),
                              fault_sweep::StartingDisks()));
    // Each image is swept as quarnhold-run sweeps it: in a worker process,
    // the summary brought back whole. The i386 and the amd64 image, built
    // from the same sources, tell the host-linked driver's story.
    for (const auto& [way, path] : {std::pair{"i386 image", BuiltImage()}, std::pair{"amd64 image", BuiltAmd64Image()}}) {
        SCOPED_TRACE(way);
        emulator::DriverImageRunner image(emulator::ReadPeImage(path));
        fault_sweep::SweepSummary emulated =
            Checked(way, isolation::RunIsolatedSweep(image, fault_sweep::StartingDisks(), {}));
        EXPECT_EQ(host.runs, emulated.runs);
        EXPECT_EQ(host.faultsInjected, emulated.faultsInjected);
        EXPECT_EQ(host.storyDigest, emulated.storyDigest) << "the two ways differ on some run";
    }
}

// Every failed run of `summary` (all kept) is counted in exactly the one
// group whose first run faulted the same calls with the same kinds of fault
// and broke the same rules; no two groups are alike.
void ExpectGroupedAlike(const fault_sweep::SweepSummary& summary)
{
    ASSERT_EQ(summary.failures.size(), summary.runs - summary.runsHeld);
    const auto alike = [](const fault_sweep::FailedRun& a, const fault_sweep::FailedRun& b) {
        return fault_sweep::DescribeFaultKinds(a.faults) == fault_sweep::DescribeFaultKinds(b.faults) &&
               fault_sweep::RulesBroken(a) == fault_sweep::RulesBroken(b);
    };
    uint64_t grouped = 0;
    for (const fault_sweep::FailureGroup& group : summary.groups) {
        const auto members = std::count_if(summary.failures.begin(), summary.failures.end(),
                                           [&](const fault_sweep::FailedRun& f) { return alike(f, group.first); });
        EXPECT_EQ(static_cast<uint64_t>(members), group.runs) << fault_sweep::DescribeFaultKinds(group.first.faults);
        grouped += group.runs;
        EXPECT_EQ(std::count_if(summary.groups.begin(), summary.groups.end(),
                                [&](const fault_sweep::FailureGroup& g) { return alike(g.first, group.first); }),
                  1);
    }
    EXPECT_EQ(grouped, summary.failures.size());
    EXPECT_LT(summary.groups.size(), summary.failures.size()) << "a bug on one path makes few groups";
}

// A runner that does not pass the faults on (here: one that answers every
// run with the same sound outcome, from a disk where nothing is written) fails
// every faulted run, so a sweep cannot report faults it never made.
TEST(FaultSweepFinds, FaultsThatNeverTookEffect)
{
    const RunOutcome canned = SoundRun("no_drive_c").outcome;
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.keptFailures = SIZE_MAX;
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep([&](const fault_sweep::RunSetup&) { return canned; },
                                                              {fault_sweep::FindStartingDisk("no_drive_c")}, options);
    EXPECT_EQ(summary.runsHeld, 2u);  // the runs without a fault, on NTFS and on FAT
    EXPECT_EQ(summary.faultsInjected, 0u);
    ASSERT_EQ(summary.failures.size(), summary.runs - 2);
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        ASSERT_EQ(failed.broken.size(), 1u);
        EXPECT_EQ(failed.broken[0].rule, fault_sweep::rule::FaultsTookEffect);
        // The fault named, and why it missed: the canned run's creates all
        // failed on their own.
        const testbed::InjectedFault& fault = failed.faults[0];
        EXPECT_EQ(failed.broken[0].detail,
                  fault_sweep::DescribeFaults(failed.faults) + " never took effect: ZwCreateFile #" +
                      std::to_string(fault.occurrence) +
                      " was answered with 0xC000003A STATUS_OBJECT_PATH_NOT_FOUND before the fault applied");
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
        fault_sweep::InProcess([&](testbed::KernelModel& model) { return fault_sweep::RunEmulated(model, image); }),
        fault_sweep::StartingDisks(), options);

    ASSERT_FALSE(summary.failures.empty());
    EXPECT_EQ(summary.runs - summary.runsHeld, summary.failures.size());
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        // A directory, a lock, a write-protected FAT volume and a full one
        // refuse the write.
        bool writeFails =
            failed.disk == "test_file_is_a_directory" || failed.disk == "test_file_locked_by_another_handle" ||
            failed.disk == "full_volume_directory_only" ||
            (failed.disk == "write_protected_after_a_run" && failed.fileSystem == testbed::FileSystem::Fat);
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
    ExpectGroupedAlike(summary);
}

// The driver as it was before its failure branches closed the handle a
// success status comes with: it holds on a healthy disk and under every
// warning and error, and the sweep fails exactly the runs where a create
// returned a success status other than zero, each for the handle left open.
TEST(FaultSweepFinds, AHandleLeftOpenAfterASuccessStatus)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(std::filesystem::path(QUARNHOLD_GUEST_DRIVER_DIR) /
                                                            "closes_nothing_on_success_status.sys"));
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.keptFailures = SIZE_MAX;
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(
        fault_sweep::InProcess([&](testbed::KernelModel& model) { return fault_sweep::RunEmulated(model, image); }),
        fault_sweep::StartingDisks(), options);

    // Every create that succeeds is swept with both success statuses.
    const fault_sweep::SweepSummary mended =
        fault_sweep::RunSweep(fault_sweep::InProcess([](testbed::KernelModel& model) { return RunHostLinked(model); }),
                              fault_sweep::StartingDisks(), options);
    EXPECT_EQ(mended.runsHeld, mended.runs);
    ASSERT_EQ(summary.runs, mended.runs);
    uint64_t expectedFailures = 0;
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        for (testbed::FileSystem fileSystem : fault_sweep::FileSystemsOf(disk)) {
            ScratchFolder driveC;
            LayDown(driveC.path(), disk.items);
            testbed::KernelModel model = fault_sweep::ModelFor(disk, driveC.path(), fileSystem);
            for (const KernelCall& call : RunHostLinked(model).calls) {
                if (call.routine == Routine::ZwCreateFile && call.status == status::Success) expectedFailures += 2;
            }
        }
    }
    EXPECT_EQ(summary.runs - summary.runsHeld, expectedFailures);
    ASSERT_EQ(summary.failures.size(), expectedFailures);
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        ASSERT_EQ(failed.faults.size(), 1u);
        const testbed::InjectedFault& fault = failed.faults[0];
        EXPECT_EQ(fault.routine, Routine::ZwCreateFile) << fault_sweep::DescribeFaults(failed.faults);
        EXPECT_TRUE(fault.status && *fault.status != status::Success && testbed::NtSuccess(*fault.status))
            << fault_sweep::DescribeFaults(failed.faults);
        bool leaked = false;
        for (const BrokenRunRule& broken : failed.broken) {
            leaked = leaked || broken.rule == fault_sweep::rule::HandlesClosed;
        }
        EXPECT_TRUE(leaked) << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults);
    }
}

// An image that makes the emulator abort on the failed-write path: exactly
// the runs where the write fails are failed, each with the one rule its
// abort broke, and every other run of the sweep is made and holds.
TEST(FaultSweepFinds, RunsThatKillTheEmulator)
{
    emulator::DriverImageRunner image(
        emulator::ReadPeImage(std::filesystem::path(QUARNHOLD_GUEST_DRIVER_DIR) / "aborts_after_failed_write.sys"));
    isolation::IsolatedImageRunner isolated(image);
    struct Made {
        bool writeFaulted = false;
        bool recordLost = false;
    };
    std::vector<Made> made;
    fault_sweep::DriverRunner recorded = [&](const fault_sweep::RunSetup& setup) {
        RunOutcome outcome = isolated.Run(setup);
        bool writeFaulted = false;
        for (const testbed::InjectedFault& fault : setup.faults) {
            writeFaulted = writeFaulted || (fault.routine == Routine::ZwWriteFile && fault.status);
        }
        made.push_back({writeFaulted, outcome.recordLost});
        return outcome;
    };
    // Each run goes to a worker of its own, so drive C is a folder.
    ScratchFolder driveC;
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.keptFailures = SIZE_MAX;
    options.driveC = driveC.path();
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(recorded, fault_sweep::StartingDisks(), options);

    ASSERT_EQ(made.size(), summary.runs);
    uint64_t lost = 0;
    for (const Made& run : made) {
        lost += run.recordLost;
        if (run.writeFaulted) EXPECT_TRUE(run.recordLost) << "a failed write must end in the abort";
    }
    EXPECT_GT(lost, 10u);
    EXPECT_EQ(summary.runs - summary.runsHeld, lost);
    EXPECT_GT(summary.runsHeld, summary.runs / 2);
    ASSERT_EQ(summary.failures.size(), lost);
    for (const fault_sweep::FailedRun& failed : summary.failures) {
        // The same run of the sound driver, host-linked: its write fails too.
        ScratchFolder driveC;
        const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(failed.disk);
        LayDown(driveC.path(), disk.items);
        testbed::KernelModel model = fault_sweep::ModelFor(disk, driveC.path(), failed.fileSystem, failed.faults);
        bool writeFails = false;
        for (const KernelCall& call : RunHostLinked(model).calls) {
            writeFails = writeFails || (call.routine == Routine::ZwWriteFile && call.status != status::Success);
        }
        EXPECT_TRUE(writeFails) << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults);
        ASSERT_EQ(failed.broken.size(), 1u);
        EXPECT_EQ(failed.broken[0].rule, fault_sweep::rule::RunCompleted);
        EXPECT_NE(failed.broken[0].detail.find("the emulator died of SIGABRT"), std::string::npos)
            << failed.broken[0].detail;
        EXPECT_NE(failed.broken[0].detail.find("; last kernel call: DbgPrint, called from 0x80A0"), std::string::npos)
            << failed.broken[0].detail;
    }
}

// A change a run makes to drive C in the middle of a sweep, and how that
// run ends.
struct DiskChange {
    std::string name;
    std::vector<std::string> disks;  // swept in order; told apart by write protection
    std::function<void(const std::filesystem::path&)> change;
    enum class Ending { Sound, StoppedByTheHost, WorkerDied } ending = Ending::Sound;
};

void PrintTo(const DiskChange& change, std::ostream* out)
{
    *out << change.name;
}

void Rewrite(const std::filesystem::path& file, const std::string& content)
{
    if (std::filesystem::exists(file)) {
        std::filesystem::permissions(file, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

const std::vector<DiskChange> DiskChanges{
    {"content_rewritten_at_the_same_length",
     {"after_a_run"},
     [](const std::filesystem::path& c) {
         Rewrite(c / "Quarnhold/test.txt", std::string(fault_sweep::TestFileContent.size(), 'x'));
     }},
    {"file_grown",
     {"test_file_shorter_than_the_text"},
     [](const std::filesystem::path& c) {
         std::ofstream(c / "Quarnhold/test.txt", std::ios::binary | std::ios::app) << "more";
     }},
    {"file_made_read_only",
     {"after_a_run"},
     [](const std::filesystem::path& c) {
         std::filesystem::permissions(c / "Quarnhold/test.txt", std::filesystem::perms::all,
                                      std::filesystem::perm_options::remove);
         std::filesystem::permissions(c / "Quarnhold/test.txt", std::filesystem::perms::owner_read);
     }},
    {"read_only_file_made_writable",
     {"test_file_read_only"},
     [](const std::filesystem::path& c) {
         std::filesystem::permissions(c / "Quarnhold/test.txt", std::filesystem::perms::owner_write,
                                      std::filesystem::perm_options::add);
     }},
    {"names_created",
     {"clean_drive_c"},
     [](const std::filesystem::path& c) {
         std::filesystem::create_directory(c / "Quarnhold");
         Rewrite(c / "Quarnhold/test.txt", "");
     }},
    {"name_removed",
     {"after_a_run"},
     [](const std::filesystem::path& c) { std::filesystem::remove(c / "Quarnhold/test.txt"); }},
    {"link_pointed_elsewhere",
     {"work_directory_is_a_link"},
     [](const std::filesystem::path& c) {
         std::filesystem::remove(c / "Quarnhold");
         std::filesystem::create_directory_symlink("nowhere", c / "Quarnhold");
     }},
    {"changed_then_stopped_by_the_host",
     {"after_a_run"},
     [](const std::filesystem::path& c) { Rewrite(c / "Quarnhold/test.txt", "partial"); },
     DiskChange::Ending::StoppedByTheHost},
    {"changed_then_the_worker_died",
     {"after_a_run"},
     [](const std::filesystem::path& c) { Rewrite(c / "Quarnhold/test.txt", "partial"); },
     DiskChange::Ending::WorkerDied},
    {"another_starting_disk_next", {"after_a_run", "write_protected_after_a_run"}, [](const std::filesystem::path&) {}},
};

class SweepStartsEachRunAsLaid : public ::testing::TestWithParam<DiskChange> {};

// On a folder, the sweep may leave drive C as it is between two runs from one starting
// disk, but a run after one that changed the disk, or was stopped, or from
// another disk, must find its own starting disk exactly as laid down.
TEST_P(SweepStartsEachRunAsLaid, AfterAChangeOrAnotherDisk)
{
    const DiskChange& row = GetParam();
    std::vector<fault_sweep::StartingDisk> swept;
    for (const std::string& name : row.disks) swept.push_back(fault_sweep::FindStartingDisk(name));
    const RunOutcome canned = SoundRun("after_a_run").outcome;
    std::vector<std::vector<DiskItem>> found;
    std::vector<std::vector<DiskItem>> expected;
    fault_sweep::DriverRunner changing = [&](const fault_sweep::RunSetup& setup) {
        const std::filesystem::path& folder = *setup.driveC.folder;
        for (const fault_sweep::StartingDisk& disk : swept) {
            if (disk.writeProtected == setup.driveC.writeProtected) {
                std::vector<DiskItem> laid = disk.items;
                std::sort(laid.begin(), laid.end(),
                          [](const DiskItem& a, const DiskItem& b) { return a.path < b.path; });
                expected.push_back(std::move(laid));
            }
        }
        found.push_back(ReadDisk(folder));
        RunOutcome outcome = canned;
        // The first run leaves the disk as laid; the second changes it.
        if (found.size() == 2) {
            row.change(folder);
            if (row.ending == DiskChange::Ending::StoppedByTheHost) outcome.testBedError = "stopped by the host";
            if (row.ending == DiskChange::Ending::WorkerDied) outcome.recordLost = true;
        }
        return outcome;
    };
    ScratchFolder driveC;
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.driveC = driveC.path();
    fault_sweep::SweepSummary summary = fault_sweep::RunSweep(changing, swept, options);

    ASSERT_EQ(found.size(), summary.runs);
    ASSERT_EQ(expected.size(), summary.runs);
    ASSERT_GT(summary.runs, 3u);
    for (size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i], expected[i]) << "run " << i << " started on a disk other than laid";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SweepStartsEachRunAsLaid, ::testing::ValuesIn(DiskChanges),
                         [](const auto& info) { return info.param.name; });

// Runs from one disk that leave it as laid share it: the folder the disk
// was laid in stays the same object from the first run to the last, so the
// sweep pays for clearing and laying it down once, not once per run.
TEST(SweepSharesADisk, LaysItDownOnceWhileNoRunChangesIt)
{
    const RunOutcome canned = SoundRun("after_a_run").outcome;
    std::vector<ino_t> folders;
    fault_sweep::DriverRunner reading = [&](const fault_sweep::RunSetup& setup) {
        struct stat info {};
        folders.push_back(lstat((*setup.driveC.folder / "Quarnhold").c_str(), &info) == 0 ? info.st_ino : 0);
        return canned;
    };
    ScratchFolder driveC;
    fault_sweep::SweepOptions options;
    options.pairs = false;
    options.driveC = driveC.path();
    fault_sweep::SweepSummary summary =
        fault_sweep::RunSweep(reading, {fault_sweep::FindStartingDisk("after_a_run")}, options);
    ASSERT_GT(summary.runs, 3u);
    ASSERT_NE(folders.front(), 0u);
    for (ino_t folder : folders) EXPECT_EQ(folder, folders.front());
}

// Which runs a filter selects: a fault on a named call (any call of a
// routine, or one occurrence), with a named status, both on the same fault
// when both are given; every run when nothing is given.
struct FilterCase {
    std::string name;
    fault_sweep::RunFilter filter;
    std::vector<testbed::InjectedFault> faults;
    bool selected;
};

void PrintTo(const FilterCase& c, std::ostream* out)
{
    *out << c.name;
}

const testbed::InjectedFault CreateFails{Routine::ZwCreateFile, 1, status::AccessDenied, std::nullopt};
const testbed::InjectedFault SecondCreateFails{Routine::ZwCreateFile, 2, status::DiskFull, std::nullopt};
const testbed::InjectedFault CloseWarns{Routine::ZwClose, 3, status::BufferOverflow, std::nullopt};
const testbed::InjectedFault CreateReports{Routine::ZwCreateFile, 2, std::nullopt, 5u};
using Calls = std::vector<fault_sweep::FaultedCall>;

const FilterCase FilterCases[] = {
    {"nothing_given_takes_a_run_without_faults", {}, {}, true},
    {"a_call_given_leaves_a_run_without_faults", {{}, Calls{{Routine::ZwWriteFile, 0}}, {}}, {}, false},
    {"any_call_of_the_routine", {{}, Calls{{Routine::ZwWriteFile, 0}}, {}}, {WriteFails}, true},
    {"another_occurrence", {{}, Calls{{Routine::ZwCreateFile, 2}}, {}}, {CreateFails}, false},
    {"the_second_fault_of_a_pair", {{}, Calls{{Routine::ZwCreateFile, 2}}, {}}, {CreateFails, SecondCreateFails}, true},
    {"either_call_given", {{}, Calls{{Routine::ZwWriteFile, 1}, {Routine::ZwClose, 0}}, {}}, {CloseWarns}, true},
    {"a_status", {{}, {}, {status::DiskFull}}, {CreateFails, WriteFails}, true},
    {"a_status_not_injected", {{}, {}, {status::DiskFull}}, {CreateFails, CloseWarns}, false},
    {"an_information_is_no_status", {{}, {}, {status::DiskFull}}, {CreateReports}, false},
    {"call_and_status_on_one_fault", {{}, Calls{{Routine::ZwWriteFile, 0}}, {status::DiskFull}}, {WriteFails}, true},
    {"call_and_status_on_different_faults",
     {{}, Calls{{Routine::ZwCreateFile, 1}}, {status::DiskFull}},
     {CreateFails, WriteFails},
     false},
};

class RunFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(RunFilterTest, SelectsTheRunsAskedFor)
{
    EXPECT_EQ(GetParam().filter.Selects(GetParam().faults), GetParam().selected);
}

INSTANTIATE_TEST_SUITE_P(Table, RunFilterTest, ::testing::ValuesIn(FilterCases),
                         [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST(FaultKinds, FollowTheStatusSeverity)
{
    const std::pair<testbed::InjectedFault, fault_sweep::FaultKind> kinds[] = {
        {CreateFails, fault_sweep::FaultKind::Error},
        {CloseWarns, fault_sweep::FaultKind::Warning},
        {{Routine::ZwClose, 1, status::ObjectNameExists, std::nullopt}, fault_sweep::FaultKind::Informational},
        {{Routine::ZwClose, 1, status::OplockBreakInProgress, std::nullopt}, fault_sweep::FaultKind::Success},
        {CreateReports, fault_sweep::FaultKind::Information},
    };
    for (const auto& [fault, kind] : kinds) {
        EXPECT_EQ(fault_sweep::KindOf(fault), kind) << fault_sweep::DescribeFaults({fault});
    }
}

// A filtered sweep checks exactly the runs of the whole sweep the filter
// selects, no more and no fewer, though it must still make the runs its
// plan rests on; and --list-runs' plan is the sweep's.
TEST(FilteredSweep, ChecksExactlyTheRunsOfTheWholeSweepItSelects)
{
    const fault_sweep::DriverRunner hostLinked =
        fault_sweep::InProcess([](testbed::KernelModel& model) { return RunHostLinked(model); });
    const std::vector<fault_sweep::StartingDisk> disks{fault_sweep::FindStartingDisk("after_a_run"),
                                                       fault_sweep::FindStartingDisk("work_directory_is_a_link")};
    fault_sweep::SweepOptions listed;
    listed.listOnly = true;
    const fault_sweep::SweepSummary whole = fault_sweep::RunSweep(hostLinked, disks, listed);
    EXPECT_EQ(whole.runs, 0u) << "a listing checks no run";

    fault_sweep::SweepOptions narrowed = listed;
    narrowed.filter = {testbed::FileSystem::Ntfs, Calls{{Routine::ZwWriteFile, 0}, {Routine::ZwCreateFile, 2}}, {}};
    const fault_sweep::SweepSummary plan = fault_sweep::RunSweep(hostLinked, disks, narrowed);
    std::vector<std::string> expected;
    for (const fault_sweep::SweepRun& run : whole.planned) {
        if (run.fileSystem == testbed::FileSystem::Ntfs && narrowed.filter.Selects(run.faults)) {
            expected.push_back(run.disk + ", " + fault_sweep::DescribeFaults(run.faults));
        }
    }
    std::vector<std::string> planned;
    for (const fault_sweep::SweepRun& run : plan.planned) {
        planned.push_back(run.disk + ", " + fault_sweep::DescribeFaults(run.faults));
    }
    EXPECT_EQ(planned, expected);
    EXPECT_GT(planned.size(), 20u);
    EXPECT_LT(planned.size(), whole.planned.size() / 2);

    narrowed.listOnly = false;
    narrowed.keptFailures = SIZE_MAX;
    const fault_sweep::SweepSummary swept = fault_sweep::RunSweep(hostLinked, disks, narrowed);
    EXPECT_EQ(swept.runs, planned.size());
    EXPECT_EQ(swept.runsHeld, swept.runs);
    EXPECT_EQ(swept.disksOnNtfs, 2u);
    EXPECT_EQ(swept.disksOnFat, 0u);
}

// What the disk rule reads of a person's folder: the names that are
// Quarnhold and Quarnhold\test.txt in any letter case, nothing else, and no
// link followed.
TEST(RuledItems, AreTheWorkDirectoryAndTheTestFileOnly)
{
    ScratchFolder driveC;
    LayDown(driveC.path(),
            {Directory("Quarnhold"), File("Quarnhold/test.txt", "one"), File("Quarnhold/other.txt", "x"),
             Directory("Quarnhold/inner"), File("Quarnhold/inner/test.txt", "deeper"), Directory("QUARNHOLD"),
             File("QUARNHOLD/TEST.TXT", "two"), Directory("elsewhere"), File("elsewhere/test.txt", "three"),
             Link("quarnHOLD", "elsewhere"), File("quarnhold.txt", "not it")});
    std::vector<DiskItem> expected;
    for (const DiskItem& item : ReadDisk(driveC.path())) {
        std::string lower = item.path;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower == "quarnhold" || lower == "quarnhold/test.txt") {
            expected.push_back(item);
        }
    }
    ASSERT_EQ(expected.size(), 5u) << Describe(expected);
    EXPECT_EQ(fault_sweep::ReadRuledItems(driveC.path()), expected) << Describe(expected);
    EXPECT_EQ(fault_sweep::ReadRuledItems(driveC.path() / "elsewhere"), std::vector<DiskItem>{});
}

}  // namespace
}  // namespace quarnhold::tests
