// guest_fault_test.cpp
//
// Small images with one deliberate bug each: the emulator must stop every
// guest fault with what happened, where, and the last kernel call, and must
// notice the faults that do not stop a run; the model must report every
// kernel rule broken, with the call that broke it.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/driver_image_run.h"
#include "testbed/kernel_model.h"
#include "testbed/text_encoding.h"
#include "tests/support/disk_state.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

struct GuestFaultCase {
    std::string machine;                   // "i386" or "amd64"
    std::string image;
    std::string firstMessage;              // printed before the fault
    std::optional<std::string> fault;      // a part of the fault's text; nothing: the run completes
    std::optional<uint64_t> faultAddress;  // where it happened, when the case pins it
    std::string lastKernelCall;            // the start of the last call's description
    std::string brokenRule = "";           // a part of the one rule broken; empty: none is
    std::string ruleCall = "";             // the start of the call that rule names
};

void PrintTo(const GuestFaultCase& c, std::ostream* out)
{
    *out << c.machine << "/" << c.image;
}

// The guest drivers built for `machine`.
std::filesystem::path GuestDriver(const std::string& machine, const std::string& image)
{
    return std::filesystem::path(machine == "amd64" ? QUARNHOLD_AMD64_GUEST_DRIVER_DIR : QUARNHOLD_GUEST_DRIVER_DIR) /
           (image + ".sys");
}

// The drivers written in plain C++, whose faults read the same on both
// machines.
const GuestFaultCase EitherMachine[] = {
    {"", "stack_overflow", "recursing", "stack overflow", std::nullopt, "DbgPrint"},
    {"", "endless_loop", "looping", "instruction budget of 1000000 exceeded", std::nullopt, "DbgPrint"},
    {"", "bad_object_attributes", "bad OBJECT_ATTRIBUTES", "the OBJECT_ATTRIBUTES at 0x00001000 cannot be read",
     std::nullopt, "ZwCreateFile", "ObjectAttributes at 0x00001000 cannot be read",
     "ZwCreateFile((ObjectAttributes unreadable) access 0x00100000"},
    {"", "bad_object_name", "bad ObjectName", "ZwCreateFile: the UNICODE_STRING at 0x00001000 cannot be read",
     std::nullopt, "ZwCreateFile", "ObjectAttributes->ObjectName at 0x00001000 cannot be read",
     "ZwCreateFile((ObjectAttributes->ObjectName unreadable)"},
    {"", "bad_name_buffer", "bad name Buffer", "ZwCreateFile: the name's Buffer at 0x00001000 cannot be read",
     std::nullopt, "ZwCreateFile", "ObjectName->Buffer at 0x00001000 cannot be read",
     "ZwCreateFile((ObjectName->Buffer unreadable)"},
    {"", "bad_byte_offset", "bad ByteOffset", "ZwWriteFile: the ByteOffset at 0x00001000 cannot be read",
     std::nullopt, "ZwWriteFile", "ByteOffset at 0x00001000 cannot be read", "ZwWriteFile(handle 0x80000004 length 2)"},
    {"", "bad_write_buffer", "bad write Buffer", "ZwWriteFile: the Buffer at 0x00001000 cannot be read", std::nullopt,
     "ZwWriteFile", "Buffer at 0x00001000 cannot be read", "ZwWriteFile(handle 0x80000004 length 4)"},
    {"", "wild_call", "calling nowhere", "execution reached 0x12345678, where nothing is mapped", 0x12345678u,
     "DbgPrint"},
    {"", "writes_driver_object", "writing DriverUnload", std::nullopt, std::nullopt, ""},
    {"", "leaks_handle", "leaking a handle", std::nullopt, std::nullopt, ""},
    // NT answers a second close with STATUS_INVALID_HANDLE and goes on; the
    // rule it breaks is a verifier's finding.
    {"", "closes_handle_twice", "closing a handle twice", std::nullopt, std::nullopt, "",
     "ZwClose of handle 0x80000004, which is already closed: closed twice", "ZwClose(0x80000004)"},
    {"", "opens_a_user_handle", "opening a user handle", std::nullopt, std::nullopt, "",
     "ZwCreateFile without OBJ_KERNEL_HANDLE", "ZwCreateFile(\"\\??\\c:\\\" access 0x00100000"},
    {"", "reads_information_after_failed_create", "reading Information after a failed create", std::nullopt,
     std::nullopt, ""},
};

// The drivers whose bug is in one machine's calling convention.
const GuestFaultCase OneMachine[] = {
    {"i386", "cdecl_entry", "cdecl entry", "did not pop its 8 bytes of arguments", std::nullopt, "DbgPrint"},
    {"i386", "clobbers_ebx", "clobbering EBX", "EBX was not preserved", std::nullopt, "DbgPrint"},
    {"i386", "clobbers_esi", "clobbering ESI", "ESI was not preserved", std::nullopt, "DbgPrint"},
    {"i386", "clobbers_edi", "clobbering EDI", "EDI was not preserved", std::nullopt, "DbgPrint"},
    {"i386", "clobbers_ebp", "clobbering EBP", "EBP was not preserved", std::nullopt, "DbgPrint"},
    {"amd64", "clobbers_r12", "clobbering R12", "R12 was not preserved across DriverEntry", std::nullopt,
     "DbgPrint"},
    {"amd64", "clobbers_xmm6", "clobbering XMM6", "XMM6 was not preserved across DriverEntry", std::nullopt,
     "DbgPrint"},
    // The first call is aligned and carried out; the second is stopped
    // before the kernel does anything.
    {"amd64", "misaligned_kernel_call", "calling with an aligned stack",
     "DbgPrint was called with RSP at 0xFFFFF80000205FA8, not on the 16-byte boundary", std::nullopt,
     "DbgPrint, called from 0xFFFFF80000A0"},
    // The call's home space held the saved RBX and DriverEntry's return
    // address, slot 1: the return goes to the value left there.
    {"amd64", "no_home_space", "calling without home space",
     "execution reached 0x484F4D4500000101, where nothing is mapped (a return to the wrong place, or a jump through "
     "a bad pointer); 0x484F4D4500000101 is a value the kernel left in the home space of kernel call 1 (DbgPrint, "
     "called from 0xFFFFF80000A0",
     0x484F4D4500000101u, "DbgPrint"},
    {"amd64", "truncates_handle", "keeping a handle in a ULONG",
     "ZwClose: handle 0x0000000080000004 is no handle the kernel gives out", std::nullopt, "ZwClose"},
};

std::vector<GuestFaultCase> Cases()
{
    std::vector<GuestFaultCase> cases;
    for (const char* machine : {"i386", "amd64"}) {
        for (GuestFaultCase c : EitherMachine) {
            c.machine = machine;
            cases.push_back(c);
        }
    }
    cases.insert(cases.end(), std::begin(OneMachine), std::end(OneMachine));
    return cases;
}

class GuestFaultTest : public ::testing::TestWithParam<GuestFaultCase> {
protected:
    emulator::ImageRunResult Run(testbed::KernelModel& model) const
    {
        return emulator::RunDriverImage(emulator::ReadPeImage(GuestDriver(GetParam().machine, GetParam().image)),
                                        model);
    }
    ScratchFolder driveC_;
};

TEST_P(GuestFaultTest, IsReportedPrecisely)
{
    const GuestFaultCase& expected = GetParam();
    testbed::KernelModel model(testbed::DriveC{driveC_.path(), false});
    emulator::ImageRunResult result = Run(model);

    ASSERT_FALSE(model.DebugOutput().empty());
    EXPECT_EQ(testbed::GbkToUtf8(model.DebugOutput().front()), expected.firstMessage);
    // The rule is on record whether or not the run stopped at it.
    if (expected.brokenRule.empty()) {
        for (const testbed::BrokenRule& broken : model.BrokenRules()) {
            ADD_FAILURE() << broken.rule << ", in " << broken.call;
        }
    } else {
        EXPECT_EQ(model.BrokenRules().size(), 1u);
        for (const testbed::BrokenRule& broken : model.BrokenRules()) {
            EXPECT_NE(broken.rule.find(expected.brokenRule), std::string::npos) << broken.rule;
            EXPECT_EQ(broken.call.rfind(expected.ruleCall, 0), 0u) << broken.call;
        }
    }
    if (!expected.fault) {
        EXPECT_FALSE(result.fault) << result.fault->what;
        return;
    }
    ASSERT_TRUE(result.fault);
    EXPECT_NE(result.fault->what.find(*expected.fault), std::string::npos) << result.fault->what;
    EXPECT_EQ(result.fault->lastKernelCall.rfind(expected.lastKernelCall, 0), 0u) << result.fault->lastKernelCall;
    if (expected.faultAddress) {
        EXPECT_EQ(result.fault->address, *expected.faultAddress);
    }
}

// A loaded image runs again from scratch: whatever the first run broke,
// overwrote or left on the stack, the second one sees the same start.
TEST_P(GuestFaultTest, RunsAgainFromTheSameStart)
{
    emulator::DriverImageRunner runner(emulator::ReadPeImage(GuestDriver(GetParam().machine, GetParam().image)));
    std::vector<emulator::ImageRunResult> results;
    std::vector<std::vector<std::string>> messages;
    for (int run = 0; run < 2; ++run) {
        testbed::KernelModel model(testbed::DriveC{driveC_.path(), false});
        results.push_back(runner.Run(model));
        messages.push_back(model.DebugOutput());
    }
    EXPECT_EQ(messages[0], messages[1]);
    EXPECT_EQ(results[0].status, results[1].status);
    EXPECT_EQ(results[0].stats.instructions, results[1].stats.instructions);
    EXPECT_EQ(results[0].stats.peakStackBytes, results[1].stats.peakStackBytes);
    EXPECT_EQ(results[0].loaderDataAccesses, results[1].loaderDataAccesses);
    EXPECT_EQ(results[0].driverObjectUntouched, results[1].driverObjectUntouched);
    ASSERT_EQ(results[0].fault.has_value(), results[1].fault.has_value());
    if (results[0].fault) {
        EXPECT_EQ(results[0].fault->what, results[1].fault->what);
        EXPECT_EQ(results[0].fault->address, results[1].fault->address);
        EXPECT_EQ(results[0].fault->lastKernelCall, results[1].fault->lastKernelCall);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, GuestFaultTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<GuestFaultCase>& info) {
                             return info.param.machine + "_" + info.param.image;
                         });

// The tests below run on each machine's build of the same driver.
class EachMachine : public ::testing::TestWithParam<std::string> {
protected:
    std::filesystem::path Driver(const std::string& image) const { return GuestDriver(GetParam(), image); }
    std::filesystem::path RealImage() const { return GetParam() == "amd64" ? BuiltAmd64Image() : BuiltImage(); }
};

// The faults that let DriverEntry return are the ones a verifier catches:
// here DriverUnload, at its own offset on each machine, of pointer size.
TEST_P(EachMachine, WriteToTheDriverObjectIsCaught)
{
    ScratchFolder driveC;
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    emulator::ImageRunResult result =
        emulator::RunDriverImage(emulator::ReadPeImage(Driver("writes_driver_object")), model);
    EXPECT_FALSE(result.driverObjectUntouched);
    EXPECT_TRUE(result.registryPathUntouched);
    ASSERT_EQ(result.loaderDataAccesses.size(), 1u);
    const std::string expected = GetParam() == "amd64" ? "write to DRIVER_OBJECT+0x00000068 (8 bytes) at RIP "
                                                       : "write to DRIVER_OBJECT+0x00000034 (4 bytes) at EIP ";
    EXPECT_NE(result.loaderDataAccesses[0].find(expected), std::string::npos) << result.loaderDataAccesses[0];
}

// The kernel leaves IoStatusBlock alone when a create fails, so what the
// guest reads there is the stack's fill pattern, the same on every run.
TEST_P(EachMachine, UninitialisedLocalReadsTheStackPattern)
{
    ScratchFolder driveC;
    emulator::DriverImageRunner runner(emulator::ReadPeImage(Driver("reads_information_after_failed_create")));
    for (int run = 0; run < 2; ++run) {
        testbed::KernelModel model(testbed::DriveC{driveC.path()});
        emulator::ImageRunResult result = runner.Run(model);
        ASSERT_FALSE(result.fault) << result.fault->what;
        ASSERT_EQ(model.DebugOutput().size(), 2u);
        EXPECT_EQ(model.DebugOutput()[1], "status C0000034, Information CCCCCCCC") << "run " << run;
    }
}

// Only the part of the stack a run wrote is filled again for the next: a
// run that filled the whole stack with its frames leaves the next one the
// pattern all the same, and each run's peak is its own. A kernel call made
// with the stack pointer off the kernel stack (far below it) counts for
// nothing, and leaves the next run no stack to refill from there. The
// kernel stack is 12 KB on i386 and 24 KB on amd64.
TEST_P(EachMachine, EveryRunStartsFromAFilledStack)
{
    ScratchFolder driveC;
    const std::filesystem::path shallowDriver = Driver("reads_information_after_failed_create");
    emulator::DriverImageRunner runner(emulator::ReadPeImage(shallowDriver));
    const auto run = [&] {
        Clear(driveC.path());
        testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
        emulator::ImageRunResult result = runner.Run(model);
        return std::make_pair(result, model.DebugOutput());
    };
    const auto [shallow, shallowOutput] = run();
    ASSERT_FALSE(shallow.fault) << shallow.fault->what;

    const auto deepEnough = [&](const emulator::ImageRunResult& deep) {
        EXPECT_GT(deep.stats.peakStackBytes, (GetParam() == "amd64" ? 23u : 11u) * 1024);
    };
    const auto offTheStack = [&](const emulator::ImageRunResult& off) {
        EXPECT_LT(off.stats.peakStackBytes, 1024u);
        EXPECT_NE(off.fault->lastKernelCall.find("DbgPrint, called from an unreadable return address"),
                  std::string::npos)
            << off.fault->lastKernelCall;
    };
    const std::vector<std::pair<std::string, std::function<void(const emulator::ImageRunResult&)>>> between{
        {"stack_overflow", deepEnough},
        {"calls_the_kernel_off_its_stack", offTheStack},
    };
    for (const auto& [driver, check] : between) {
        SCOPED_TRACE(driver);
        runner.ReplaceImage(emulator::ReadPeImage(Driver(driver)));
        const auto [odd, oddOutput] = run();
        ASSERT_TRUE(odd.fault);
        EXPECT_LE(odd.stats.peakStackBytes, odd.stats.stackBytes);
        check(odd);

        runner.ReplaceImage(emulator::ReadPeImage(shallowDriver));
        const auto [again, againOutput] = run();
        ASSERT_FALSE(again.fault) << again.fault->what;
        EXPECT_EQ(againOutput, shallowOutput);
        EXPECT_EQ(again.stats.peakStackBytes, shallow.stats.peakStackBytes);
    }
}

TEST_P(EachMachine, LeakedHandleStaysInTheTable)
{
    ScratchFolder driveC;
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    emulator::ImageRunResult result = emulator::RunDriverImage(emulator::ReadPeImage(Driver("leaks_handle")), model);
    EXPECT_EQ(result.status, 0u);
    ASSERT_EQ(model.OpenHandles().size(), 1u);
    EXPECT_TRUE(model.OpenHandles()[0].directory);
    EXPECT_EQ(model.Counts().opened, 1u);
    EXPECT_EQ(model.Counts().closed, 0u);
}

// A loaded runner given other code runs that code, not its translations of
// the old: the real driver and the one that leaves open the handle a success
// status brings, in turn on one CPU, each behave as themselves.
TEST_P(EachMachine, ReplacedImageRunsItsOwnCode)
{
    const std::filesystem::path leaky = Driver("closes_nothing_on_success_status");
    emulator::DriverImageRunner runner(emulator::ReadPeImage(leaky));
    ScratchFolder driveC;
    const auto handlesLeftAfterASuccessStatus = [&] {
        Clear(driveC.path());
        testbed::KernelModel model(
            testbed::DriveC{driveC.path(), false},
            {{testbed::Routine::ZwCreateFile, 1, testbed::status::ObjectNameExists, std::nullopt}});
        emulator::ImageRunResult result = runner.Run(model);
        EXPECT_FALSE(result.fault) << result.fault->what;
        return model.OpenHandles().size();
    };
    EXPECT_EQ(handlesLeftAfterASuccessStatus(), 1u);
    runner.ReplaceImage(emulator::ReadPeImage(RealImage()));
    EXPECT_EQ(handlesLeftAfterASuccessStatus(), 0u);
    runner.ReplaceImage(emulator::ReadPeImage(leaky));
    EXPECT_EQ(handlesLeftAfterASuccessStatus(), 1u);

    // An image of another layout cannot take the loaded one's place: here,
    // the same image with its read-only data made writable.
    emulator::PeImage otherLayout = emulator::ReadPeImage(RealImage());
    for (emulator::PeSection& section : otherLayout.sections) {
        if (section.name == ".rdata") section.characteristics |= emulator::SectionWrite;
    }
    EXPECT_THROW(runner.ReplaceImage(otherLayout), emulator::ImageError);
    // Nor can the other machine's image.
    const std::filesystem::path other = GetParam() == "amd64" ? BuiltImage() : BuiltAmd64Image();
    EXPECT_THROW(runner.ReplaceImage(emulator::ReadPeImage(other)), emulator::ImageError);
}

INSTANTIATE_TEST_SUITE_P(Machines, EachMachine, ::testing::Values("i386", "amd64"));

}  // namespace
}  // namespace quarnhold::tests
