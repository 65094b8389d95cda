// scenario_test.cpp
//
// Runs every scenario of the table and checks the transcript byte for byte,
// the status, the disk afterwards, and what must hold after any run.

#include <gtest/gtest.h>

#include <memory>

#include "testbed/nt_status.h"
#include "testbed/text_encoding.h"
#include "tests/scenarios.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

using testbed::Routine;

std::string ShowTranscript(const std::vector<std::string>& gbkMessages)
{
    std::string text;
    for (const std::string& message : gbkMessages) {
        text += "  \"" + testbed::GbkToUtf8(message) + "\"\n";
    }
    return text;
}

// What must hold after any run, whatever the scenario.
void ExpectSoundRun(const RunOutcome& outcome)
{
    EXPECT_EQ(outcome.fault, "");
    EXPECT_EQ(outcome.status, testbed::status::DeviceConfigurationError)
        << testbed::DescribeStatus(outcome.status);
    EXPECT_TRUE(outcome.openHandles.empty()) << outcome.openHandles.size() << " handles left open";
    EXPECT_EQ(outcome.counts.opened, outcome.counts.closed);
    EXPECT_TRUE(outcome.findings.empty()) << outcome.findings.front();
    EXPECT_TRUE(outcome.driverObjectUntouched);
    EXPECT_TRUE(outcome.registryPathUntouched);

    // Nothing at all reaches the kernel after the exit message.
    ASSERT_FALSE(outcome.calls.empty());
    EXPECT_EQ(outcome.calls.back().routine, Routine::DbgPrint);
    ASSERT_FALSE(outcome.debugOutput.empty());
    EXPECT_EQ(outcome.debugOutput.back(), testbed::Utf8ToGbk(Printed(message::DriverExit)));

    // A write only ever follows a successful open of the handle it uses,
    // with no close in between.
    for (size_t i = 0; i < outcome.calls.size(); ++i) {
        if (outcome.calls[i].routine != Routine::ZwWriteFile) continue;
        const testbed::KernelCall* open = nullptr;
        for (size_t j = i; j-- > 0;) {
            if (outcome.calls[j].routine == Routine::ZwCreateFile) {
                open = &outcome.calls[j];
                break;
            }
            EXPECT_NE(outcome.calls[j].routine, Routine::ZwClose) << "write after a close";
        }
        ASSERT_NE(open, nullptr) << "write without an open";
        EXPECT_EQ(open->status, testbed::status::Success) << "write after a failed open";
        EXPECT_EQ(open->handle, outcome.calls[i].handle);
    }
}

class ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, HostLinkedDriver)
{
    const Scenario& scenario = GetParam();
    ScratchFolder driveC;
    LayDown(driveC.path(), scenario.before);
    testbed::KernelModel model(
        testbed::DriveC{scenario.driveC ? std::optional(driveC.path()) : std::nullopt, scenario.writeProtected},
        scenario.faults, scenario.foreignOpens);

    RunOutcome outcome = RunHostLinked(model);

    std::vector<std::string> expected;
    for (const std::string& text : scenario.transcript) {
        std::optional<std::string> gbk = testbed::Utf8ToGbk(text);
        ASSERT_TRUE(gbk) << text;
        expected.push_back(*gbk);
    }
    EXPECT_EQ(outcome.debugOutput, expected) << "printed:\n"
                                             << ShowTranscript(outcome.debugOutput) << "expected:\n"
                                             << ShowTranscript(expected);
    std::vector<DiskItem> disk = ReadDisk(driveC.path());
    EXPECT_EQ(disk, scenario.after) << "disk:\n" << Describe(disk) << "expected:\n" << Describe(scenario.after);
    ExpectSoundRun(outcome);
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace quarnhold::tests
