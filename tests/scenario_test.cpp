// scenario_test.cpp
//
// Runs every scenario of the table, on the host-linked driver and on both
// images (i386 and amd64), and checks the transcript byte for byte, the
// status, the disk afterwards, and what must hold after any run.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "testbed/nt_status.h"
#include "testbed/text_encoding.h"
#include "emulator/pe_image.h"
#include "fault_sweep/run_rules.h"
#include "tests/scenarios.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"

extern "C" NTSTATUS NTAPI WritesAbove4GibDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace quarnhold::tests {
namespace {

// Each real image, and the deepest its stack goes, in bytes below
// DriverEntry's return address.
struct BuiltImageCase {
    const char* machine;
    std::filesystem::path (*path)();
    uint32_t peakStackBytes;
};
const BuiltImageCase Images[] = {
    {"i386", BuiltImage, 100},
    {"amd64", BuiltAmd64Image, 240},
};

std::string ShowTranscript(const std::vector<std::string>& gbkMessages)
{
    std::string text;
    for (const std::string& message : gbkMessages) {
        text += "  \"" + testbed::GbkToUtf8(message) + "\"\n";
    }
    return text;
}

// What must hold after any run, whatever the scenario: the rules the fault
// sweep checks after each of its runs.
void ExpectSoundRun(const RunOutcome& outcome, const fault_sweep::DiskChange& disk)
{
    for (const fault_sweep::BrokenRunRule& broken : fault_sweep::CheckRunRules(outcome, disk)) {
        ADD_FAILURE() << broken.rule << ": " << broken.detail;
    }
}

// Lays down the scenario's starting disk and a model over it.
class ScenarioTest : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override { LayDown(driveC_.path(), Disk().items); }

    const fault_sweep::StartingDisk& Disk() const { return fault_sweep::FindStartingDisk(GetParam().disk); }

    // The scenario's model over `folder` as drive C (the test's own by default).
    testbed::KernelModel Model(std::optional<std::filesystem::path> folder = std::nullopt) const
    {
        return fault_sweep::ModelFor(Disk(), folder.value_or(driveC_.path()), GetParam().fileSystem, GetParam().faults);
    }

    // The transcript, status, disk and soundness every way must show.
    void ExpectScenario(const RunOutcome& outcome) const
    {
        // A run the host stopped is an environment failure; it says nothing
        // of the driver, so nothing else is judged.
        ASSERT_EQ(outcome.testBedError, "") << "environment failure, not the driver's";
        const Scenario& scenario = GetParam();
        std::vector<std::string> expected;
        for (const std::string& text : scenario.transcript) {
            std::optional<std::string> gbk = testbed::Utf8ToGbk(text);
            ASSERT_TRUE(gbk) << text;
            expected.push_back(*gbk);
        }
        EXPECT_EQ(outcome.debugOutput, expected) << "printed:\n"
                                                 << ShowTranscript(outcome.debugOutput) << "expected:\n"
                                                 << ShowTranscript(expected);
        std::vector<DiskItem> disk = ReadDisk(driveC_.path());
        EXPECT_EQ(disk, scenario.after) << "disk:\n" << Describe(disk) << "expected:\n" << Describe(scenario.after);
        ExpectSoundRun(outcome, {Disk().items, disk});
    }

    ScratchFolder driveC_;
};

TEST_P(ScenarioTest, HostLinkedDriver)
{
    testbed::KernelModel model = Model();
    ExpectScenario(RunHostLinked(model));
}

TEST_P(ScenarioTest, EmulatedImages)
{
    for (const BuiltImageCase& image : Images) {
        SCOPED_TRACE(image.machine);
        Clear(driveC_.path());
        LayDown(driveC_.path(), Disk().items);
        testbed::KernelModel model = Model();
        RunOutcome outcome = RunEmulated(model, image.path());
        ExpectScenario(outcome);
        // The documented figure for each real image, whatever path the run
        // took: a change that deepens the driver's frames shows here first.
        EXPECT_EQ(outcome.peakStackBytes, image.peakStackBytes);
    }
}

// Both ways tell the same story, on each image: the same kernel calls with
// the same arguments and outcomes, in the same order, down to the handle
// values. So the two images tell the same story too.
TEST_P(ScenarioTest, BothWaysAgree)
{
    testbed::KernelModel hostModel = Model();
    RunOutcome host = RunHostLinked(hostModel);
    std::vector<DiskItem> hostDisk = ReadDisk(driveC_.path());
    ASSERT_EQ(host.testBedError, "") << "environment failure, not the driver's";

    for (const BuiltImageCase& image : Images) {
        SCOPED_TRACE(image.machine);
        ScratchFolder secondDriveC;
        LayDown(secondDriveC.path(), Disk().items);
        testbed::KernelModel emulatedModel = Model(secondDriveC.path());
        RunOutcome emulated = RunEmulated(emulatedModel, image.path());
        ASSERT_EQ(emulated.testBedError, "") << "environment failure, not the driver's";

        EXPECT_EQ(host.status, emulated.status);
        EXPECT_EQ(host.debugOutput, emulated.debugOutput);
        ASSERT_EQ(host.calls.size(), emulated.calls.size());
        const emulator::PeSection text = emulator::ReadPeImage(image.path()).sections.front();
        ASSERT_EQ(text.name, ".text");
        for (size_t i = 0; i < host.calls.size(); ++i) {
            EXPECT_EQ(host.calls[i].routine, emulated.calls[i].routine) << "call " << i;
            EXPECT_EQ(host.calls[i].status, emulated.calls[i].status) << "call " << i;
            EXPECT_EQ(host.calls[i].handle, emulated.calls[i].handle) << "call " << i;
            EXPECT_EQ(host.calls[i].detail, emulated.calls[i].detail) << "call " << i;
            // Only the image has addresses: each call returns into its code;
            // the host-linked driver has no image.
            EXPECT_EQ(host.calls[i].callerRva, std::nullopt) << "call " << i;
            ASSERT_TRUE(emulated.calls[i].callerRva) << "call " << i;
            EXPECT_GT(*emulated.calls[i].callerRva, text.virtualAddress) << "call " << i;
            EXPECT_LE(*emulated.calls[i].callerRva, text.virtualAddress + text.virtualSize) << "call " << i;
        }
        EXPECT_EQ(host.counts.opened, emulated.counts.opened);
        EXPECT_EQ(host.counts.closed, emulated.counts.closed);
        EXPECT_EQ(hostDisk, ReadDisk(secondDriveC.path()));
    }
}

// A write at a ByteOffset above 4 GiB, its two halves different, reaches
// the kernel whole and in place on both ways, from either machine's image,
// and all tell the same story.
TEST(ByteOffsetTest, AboveFourGibReachesTheKernelWholeOnBothWays)
{
    for (const char* drivers : {QUARNHOLD_GUEST_DRIVER_DIR, QUARNHOLD_AMD64_GUEST_DRIVER_DIR}) {
        SCOPED_TRACE(drivers);
        ScratchFolder hostDriveC, emulatedDriveC;
        testbed::KernelModel hostModel(testbed::DriveC{hostDriveC.path(), false});
        const RunOutcome host = RunHostLinked(hostModel, WritesAbove4GibDriverEntry);
        testbed::KernelModel emulatedModel(testbed::DriveC{emulatedDriveC.path(), false});
        const RunOutcome emulated = RunEmulated(emulatedModel, std::filesystem::path(drivers) / "writes_above_4_gib.sys");
        ASSERT_EQ(host.testBedError, "") << "environment failure, not the driver's";
        ASSERT_EQ(emulated.testBedError, "") << "environment failure, not the driver's";

        for (const RunOutcome* outcome : {&host, &emulated}) {
            ASSERT_EQ(outcome->calls.size(), 4u);
            const testbed::KernelCall& write = outcome->calls[1];
            ASSERT_EQ(write.routine, testbed::Routine::ZwWriteFile);
            ASSERT_TRUE(write.write);
            EXPECT_EQ(write.write->byteOffset, int64_t{0x100000010});
        }
        EXPECT_EQ(host.status, emulated.status);
        EXPECT_EQ(host.debugOutput, emulated.debugOutput);
        for (size_t i = 0; i < host.calls.size(); ++i) {
            EXPECT_EQ(host.calls[i].status, emulated.calls[i].status) << "call " << i;
            EXPECT_EQ(host.calls[i].detail, emulated.calls[i].detail) << "call " << i;
        }
        EXPECT_EQ(host.diskEvents.size(), emulated.diskEvents.size());
    }
}

// Each message's GBK form has the byte count its table gives: single-byte
// ASCII punctuation, two bytes per Chinese character.
TEST(Messages, HaveTheirGbkByteCounts)
{
    for (const MessageFormat& format : AllMessages) {
        std::optional<std::string> gbk = testbed::Utf8ToGbk(format.text);
        ASSERT_TRUE(gbk) << format.text;
        EXPECT_EQ(gbk->size(), format.gbkBytes) << format.text;
    }
}

// The table prints every one of the fourteen messages somewhere.
TEST(Messages, EveryOneIsPrintedByTheTable)
{
    for (const MessageFormat& format : AllMessages) {
        std::string_view fixed = format.text.substr(0, format.text.find('%'));
        bool printed = false;
        for (const Scenario& scenario : Scenarios()) {
            for (const std::string& line : scenario.transcript) {
                printed = printed || line.rfind(fixed, 0) == 0;
            }
        }
        EXPECT_TRUE(printed) << format.text;
    }
}

// Every starting disk is the start of some scenario, so each has its
// expected outcome written down.
TEST(StartingDisks, EachStartsAScenario)
{
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        bool used = false;
        for (const Scenario& scenario : Scenarios()) {
            used = used || scenario.disk == disk.name;
        }
        EXPECT_TRUE(used) << disk.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace quarnhold::tests
