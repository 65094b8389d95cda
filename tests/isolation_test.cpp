// isolation_test.cpp
//
// The worker process that runs the image: every way it can end without an
// answer is reported as such and costs only that request; a live worker
// serves request after request; a run's setup and outcome survive the trip
// whole, and a garbled answer is refused, never trusted.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "emulator/driver_image_run.h"
#include "emulator/pe_image.h"
#include "isolation/isolated_image_runner.h"
#include "isolation/isolated_sweep.h"
#include "isolation/run_wire.h"
#include "isolation/worker_process.h"
#include "testbed/test_bed_error.h"
#include "tests/support/disk_state.h"

namespace quarnhold::tests {
namespace {

using namespace std::chrono_literals;
using isolation::WorkerEnd;
using isolation::WorkerProcess;

// What the test worker does for each request.
std::string TestHandler(std::string_view request)
{
    if (request == "abort") abort();
    if (request == "segv") raise(SIGSEGV);
    if (request == "exit") _exit(3);
    if (request == "hang") pause();
    if (request == "last words") {
        std::fputs("first line\nthe last words\n\n", stderr);
        std::fflush(stderr);
        abort();
    }
    if (request == "throw") throw std::runtime_error("refused: " + std::string(request));
    return "answer to " + std::string(request);
}

struct EndCase {
    std::string request;
    std::string how;        // WorkerEnd::how
    std::string lastWords;  // WorkerEnd::lastWords
};

void PrintTo(const EndCase& c, std::ostream* out)
{
    *out << c.request;
}

const EndCase EndCases[] = {
    {"abort", "died of SIGABRT", ""},
    {"segv", "died of SIGSEGV", ""},
    {"exit", "exited with status 3", ""},
    {"hang", "gave no answer within 1 s", ""},
    {"last words", "died of SIGABRT", "the last words"},
};

class WorkerEnds : public ::testing::TestWithParam<EndCase> {};

// The worker ends as the request makes it; the next request gets a new
// worker and an answer.
TEST_P(WorkerEnds, IsReportedAndCostsOnlyThatRequest)
{
    WorkerProcess worker(TestHandler, 1s);
    ASSERT_EQ(std::get<std::string>(worker.Ask("one")), "answer to one");
    const pid_t first = worker.Pid();

    auto ended = worker.Ask(GetParam().request);
    ASSERT_TRUE(std::holds_alternative<WorkerEnd>(ended));
    EXPECT_EQ(std::get<WorkerEnd>(ended).how, GetParam().how);
    EXPECT_EQ(std::get<WorkerEnd>(ended).lastWords, GetParam().lastWords);
    EXPECT_FALSE(std::get<WorkerEnd>(ended).killedFromOutside) << "a death of its own, or our own kill";
    EXPECT_EQ(worker.Pid(), -1);
    EXPECT_NE(kill(first, 0), 0) << "the ended worker is reaped";

    EXPECT_EQ(std::get<std::string>(worker.Ask("two")), "answer to two");
    EXPECT_NE(worker.Pid(), first);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkerEnds, ::testing::ValuesIn(EndCases),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                             std::string name = info.param.request;
                             for (char& c : name) {
                                 if (c == ' ') c = '_';
                             }
                             return name;
                         });

// One worker serves every request while it lives: that is what keeps the
// emulator's translations warm through a sweep. An exception in the handler
// is the caller's, and the worker lives on.
TEST(Worker, ServesRequestAfterRequestInOneProcess)
{
    WorkerProcess worker(TestHandler, 5s);
    pid_t pid = -1;
    for (int i = 0; i < 20; ++i) {
        const std::string request = "request " + std::to_string(i);
        ASSERT_EQ(std::get<std::string>(worker.Ask(request)), "answer to " + request);
        if (i == 0) pid = worker.Pid();
        ASSERT_EQ(worker.Pid(), pid);
    }
    try {
        worker.Ask("throw");
        ADD_FAILURE() << "the handler's exception did not reach the caller";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "refused: throw");
    }
    EXPECT_EQ(worker.Pid(), pid);
    EXPECT_EQ(std::get<std::string>(worker.Ask("after")), "answer to after");
}

// A watch that gives a reason ends a worker still at work, with that
// reason; until then the worker works on, past the interval.
TEST(Worker, EndsWhenTheWatchGivesAReason)
{
    WorkerProcess worker(TestHandler, 60s);
    int looks = 0;
    auto ended = worker.Ask("hang", 10ms, [&]() -> std::optional<std::string> {
        return ++looks < 3 ? std::nullopt : std::optional<std::string>("made no progress");
    });
    ASSERT_TRUE(std::holds_alternative<WorkerEnd>(ended));
    EXPECT_EQ(std::get<WorkerEnd>(ended).how, "made no progress");
    EXPECT_EQ(looks, 3);
    EXPECT_EQ(std::get<std::string>(worker.Ask("two", 10ms, [] { return std::optional<std::string>(); })),
              "answer to two");
}

// A worker someone outside kills (a person, a supervisor, the kernel short
// of memory) is told apart from one that died of its own doing, as the
// table above has it: whatever the signal, the sender is named when known.
TEST(Worker, TellsAKillFromOutsideFromADeathOfItsOwn)
{
    const std::string us = std::to_string(getpid());
    const std::pair<int, std::string> kills[] = {
        {SIGKILL, "was killed from outside (SIGKILL"},
        {SIGSEGV, "was killed from outside (SIGSEGV from process " + us + ")"},
        {SIGABRT, "was killed from outside (SIGABRT from process " + us + ")"},
        {SIGUSR1, "was killed from outside (SIGUSR1 from process " + us + ")"},
    };
    for (const auto& [sent_signal, how] : kills) {
        SCOPED_TRACE(how);
        const int signal = sent_signal;
        WorkerProcess worker(TestHandler, 60s);
        // An answer first: the worker is up, with its death note in place,
        // however loaded the machine, before anything is sent to it.
        ASSERT_EQ(std::get<std::string>(worker.Ask("first")), "answer to first");
        bool sent = false;
        auto ended = worker.Ask("hang", 10ms, [&]() -> std::optional<std::string> {
            if (!sent) sent = kill(worker.Pid(), signal) == 0;
            return std::nullopt;
        });
        ASSERT_TRUE(std::holds_alternative<WorkerEnd>(ended));
        EXPECT_TRUE(std::get<WorkerEnd>(ended).killedFromOutside);
        EXPECT_EQ(std::get<WorkerEnd>(ended).how.rfind(how, 0), 0u) << std::get<WorkerEnd>(ended).how;
    }
}

// A run whose worker was killed from outside blames nothing on the driver:
// it is a test-bed error, not a guest fault; one that died of its own doing
// is a guest fault with its record lost.
TEST(IsolatedImageRunner, BlamesTheDriverOnlyForADeathOfTheWorkersOwn)
{
    emulator::GuestTrail trail;
    trail.lastAddress = 0x80A01234;
    const fault_sweep::RunOutcome outside =
        isolation::OutcomeOfWorkerEnd({"was killed from outside (SIGKILL)", "", true}, trail, 0x80A00000);
    EXPECT_EQ(outside.testBedError,
              "test-bed error: the worker was killed from outside (SIGKILL) during the run, so the run says nothing "
              "of the driver (last guest address 0x80A01234)");
    EXPECT_EQ(outside.fault, "");
    EXPECT_FALSE(outside.recordLost);

    const fault_sweep::RunOutcome own = isolation::OutcomeOfWorkerEnd({"died of SIGSEGV", "", false}, trail, 0x80A00000);
    EXPECT_EQ(own.testBedError, "");
    EXPECT_EQ(own.fault, "the emulator died of SIGSEGV (at 0x80A01234); last kernel call: none");
    EXPECT_TRUE(own.recordLost);
}

// A worker goes when its owner does.
TEST(Worker, EndsWithItsOwner)
{
    pid_t pid = -1;
    {
        WorkerProcess worker(TestHandler, 5s);
        worker.Ask("one");
        pid = worker.Pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_NE(kill(pid, 0), 0);
}

// An interrupt handler can end every worker at once, before it removes
// the folders they write in.
TEST(Worker, AllEndAtOnceOnAnInterrupt)
{
    WorkerProcess first(TestHandler, 5s), second(TestHandler, 5s);
    first.Ask("one");
    second.Ask("two");
    const pid_t pids[] = {first.Pid(), second.Pid()};
    isolation::KillWorkersNow();
    for (pid_t pid : pids) {
        EXPECT_NE(kill(pid, 0), 0) << pid << " still runs";
    }
}

// Every field set, none to its default, so a field lost or swapped on the
// way shows.
fault_sweep::RunOutcome FullOutcome()
{
    fault_sweep::RunOutcome outcome;
    outcome.status = 0xC0000182;
    outcome.debugOutput = {"\xC7\xFD\xB6\xAF", std::string("with\0nul", 8)};
    outcome.calls.resize(2);
    outcome.calls[0].routine = testbed::Routine::ZwWriteFile;
    outcome.calls[0].status = 0xC000007F;
    outcome.calls[0].handle = 0x80000008;
    outcome.calls[0].information = 20u;
    outcome.calls[0].injected = true;
    outcome.calls[0].detail = "ZwWriteFile(...)";
    outcome.calls[0].outcome = "injected 0xC000007F STATUS_DISK_FULL";
    outcome.calls[0].callerRva = 0x10B1;
    outcome.calls[1].routine = testbed::Routine::ZwClose;
    outcome.calls[1].handle = 0x80000008;
    outcome.calls[1].detail = "ZwClose(0x80000008)";
    // What the caller passed, which the contract check reads.
    testbed::CreateFileRequest create;
    create.desiredAccess = 0x00100002;
    create.objectName = testbed::CountedName{50, 52, u"\\??\\c:\\Quarnhold\\test.txt"};
    create.createOptions = 0x60;
    create.unreadable = testbed::UnreadableRecord{testbed::CallerRecord::ObjectNameBuffer, 0x1000};
    outcome.calls[0].create = create;
    outcome.calls[0].write =
        testbed::WriteArguments{false, false, false, true, std::string("\xD5\xE2\0", 3), 20, -1, false};
    outcome.calls[1].format = "%08X";
    outcome.openHandles = {{0x8000000C, "Quarnhold\\test.txt", 0x00100002, true}};
    outcome.counts = {3, 2};
    outcome.brokenRules = {{"closed twice", "ZwClose(0x80000004)"}};
    outcome.diskEvents = {{testbed::DiskEvent::Kind::Wrote, "Quarnhold\\test.txt", 7, 20}};
    outcome.driverObjectUntouched = true;
    outcome.registryPathUntouched = true;
    outcome.fault = "stack overflow";
    outcome.testBedError = "test-bed error: cannot create the directory";
    outcome.peakStackBytes = 96;
    emulator::ImageRunResult emulated;
    // amd64 addresses, whose upper half must cross too.
    emulated.imageBase = 0xFFFFF80000A00000;
    emulated.status = 0xC0000182;
    emulated.fault =
        emulator::GuestFault{"stack overflow", 0xFFFFF80000A01234, "DbgPrint, called from 0xFFFFF80000A01000"};
    emulated.fault->lastCallReturnAddress = 0xFFFFF80000A01000;
    emulated.fault->cameFrom = 0xFFFFF80000A01230;
    emulated.testBedError = "test-bed error: a disk laid down short";
    emulated.loaderDataAccesses = {"read of DRIVER_OBJECT+0x00000034"};
    emulated.driverObjectUntouched = true;
    emulated.registryPathUntouched = true;
    emulated.stats = {155, 96, 24576, std::chrono::nanoseconds(123456)};
    outcome.emulated = emulated;
    outcome.recordLost = true;
    return outcome;
}

void ExpectSame(const fault_sweep::RunOutcome& a, const fault_sweep::RunOutcome& b)
{
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.debugOutput, b.debugOutput);
    ASSERT_EQ(a.calls.size(), b.calls.size());
    for (size_t i = 0; i < a.calls.size(); ++i) {
        EXPECT_EQ(a.calls[i].routine, b.calls[i].routine);
        EXPECT_EQ(a.calls[i].status, b.calls[i].status);
        EXPECT_EQ(a.calls[i].handle, b.calls[i].handle);
        EXPECT_EQ(a.calls[i].information, b.calls[i].information);
        EXPECT_EQ(a.calls[i].injected, b.calls[i].injected);
        EXPECT_EQ(a.calls[i].detail, b.calls[i].detail);
        EXPECT_EQ(a.calls[i].outcome, b.calls[i].outcome);
        EXPECT_EQ(a.calls[i].callerRva, b.calls[i].callerRva);
        EXPECT_EQ(a.calls[i].format, b.calls[i].format);
        ASSERT_EQ(a.calls[i].create.has_value(), b.calls[i].create.has_value());
        if (a.calls[i].create) {
            EXPECT_EQ(a.calls[i].create->desiredAccess, b.calls[i].create->desiredAccess);
            EXPECT_EQ(a.calls[i].create->objectName->text, b.calls[i].create->objectName->text);
            EXPECT_EQ(a.calls[i].create->objectName->maximumLength, b.calls[i].create->objectName->maximumLength);
            EXPECT_EQ(a.calls[i].create->createOptions, b.calls[i].create->createOptions);
            EXPECT_EQ(a.calls[i].create->unreadable->record, b.calls[i].create->unreadable->record);
            EXPECT_EQ(a.calls[i].create->unreadable->address, b.calls[i].create->unreadable->address);
        }
        ASSERT_EQ(a.calls[i].write.has_value(), b.calls[i].write.has_value());
        if (a.calls[i].write) {
            EXPECT_EQ(a.calls[i].write->data, b.calls[i].write->data);
            EXPECT_EQ(a.calls[i].write->byteOffset, b.calls[i].write->byteOffset);
            EXPECT_EQ(a.calls[i].write->hasIoStatusBlock, b.calls[i].write->hasIoStatusBlock);
        }
    }
    ASSERT_EQ(a.openHandles.size(), b.openHandles.size());
    EXPECT_EQ(a.openHandles[0].handle, b.openHandles[0].handle);
    EXPECT_EQ(a.openHandles[0].volumePath, b.openHandles[0].volumePath);
    EXPECT_EQ(a.openHandles[0].grantedAccess, b.openHandles[0].grantedAccess);
    EXPECT_EQ(a.openHandles[0].directory, b.openHandles[0].directory);
    EXPECT_EQ(a.counts.opened, b.counts.opened);
    EXPECT_EQ(a.counts.closed, b.counts.closed);
    ASSERT_EQ(a.brokenRules.size(), b.brokenRules.size());
    EXPECT_EQ(a.brokenRules[0].rule, b.brokenRules[0].rule);
    EXPECT_EQ(a.brokenRules[0].call, b.brokenRules[0].call);
    ASSERT_EQ(a.diskEvents.size(), b.diskEvents.size());
    EXPECT_EQ(a.diskEvents[0].kind, b.diskEvents[0].kind);
    EXPECT_EQ(a.diskEvents[0].volumePath, b.diskEvents[0].volumePath);
    EXPECT_EQ(a.diskEvents[0].offset, b.diskEvents[0].offset);
    EXPECT_EQ(a.diskEvents[0].length, b.diskEvents[0].length);
    EXPECT_EQ(a.driverObjectUntouched, b.driverObjectUntouched);
    EXPECT_EQ(a.registryPathUntouched, b.registryPathUntouched);
    EXPECT_EQ(a.fault, b.fault);
    EXPECT_EQ(a.testBedError, b.testBedError);
    EXPECT_EQ(a.peakStackBytes, b.peakStackBytes);
    EXPECT_EQ(a.recordLost, b.recordLost);
    ASSERT_EQ(a.emulated.has_value(), b.emulated.has_value());
    const emulator::ImageRunResult& x = *a.emulated;
    const emulator::ImageRunResult& y = *b.emulated;
    EXPECT_EQ(x.imageBase, y.imageBase);
    EXPECT_EQ(x.status, y.status);
    ASSERT_EQ(x.fault.has_value(), y.fault.has_value());
    EXPECT_EQ(x.fault->what, y.fault->what);
    EXPECT_EQ(x.fault->address, y.fault->address);
    EXPECT_EQ(x.fault->lastKernelCall, y.fault->lastKernelCall);
    EXPECT_EQ(x.fault->lastCallReturnAddress, y.fault->lastCallReturnAddress);
    EXPECT_EQ(x.fault->cameFrom, y.fault->cameFrom);
    EXPECT_EQ(x.testBedError, y.testBedError);
    EXPECT_EQ(x.loaderDataAccesses, y.loaderDataAccesses);
    EXPECT_EQ(x.driverObjectUntouched, y.driverObjectUntouched);
    EXPECT_EQ(x.registryPathUntouched, y.registryPathUntouched);
    EXPECT_EQ(x.stats.instructions, y.stats.instructions);
    EXPECT_EQ(x.stats.peakStackBytes, y.stats.peakStackBytes);
    EXPECT_EQ(x.stats.stackBytes, y.stats.stackBytes);
    EXPECT_EQ(x.stats.elapsed, y.stats.elapsed);
}

TEST(RunWire, CarriesEveryFieldOfAnOutcome)
{
    const fault_sweep::RunOutcome outcome = FullOutcome();
    ExpectSame(isolation::DecodeRunOutcome(isolation::EncodeRunOutcome(outcome)), outcome);
}

TEST(RunWire, CarriesEveryFieldOfASetup)
{
    fault_sweep::RunSetup setup;
    setup.driveC = {std::filesystem::path("/tmp/drive c"), true, testbed::FileSystem::Fat};
    setup.faults = {{testbed::Routine::ZwCreateFile, 2, std::nullopt, 5u},
                    {testbed::Routine::ZwClose, 1, 0xC0000008u, std::nullopt}};
    setup.foreignOpens = {{u"\\??\\c:\\Quarnhold\\test.txt", 0x00120089, 0x1, true, testbed::ByteRange{4, 16}}};
    const fault_sweep::RunSetup back = isolation::DecodeRunSetup(isolation::EncodeRunSetup(setup));
    EXPECT_EQ(back.driveC.folder, setup.driveC.folder);
    EXPECT_EQ(back.driveC.writeProtected, true);
    EXPECT_EQ(back.driveC.fileSystem, testbed::FileSystem::Fat);
    ASSERT_EQ(back.faults.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(back.faults[i].routine, setup.faults[i].routine);
        EXPECT_EQ(back.faults[i].occurrence, setup.faults[i].occurrence);
        EXPECT_EQ(back.faults[i].status, setup.faults[i].status);
        EXPECT_EQ(back.faults[i].information, setup.faults[i].information);
    }
    ASSERT_EQ(back.foreignOpens.size(), 1u);
    EXPECT_EQ(back.foreignOpens[0].path, setup.foreignOpens[0].path);
    EXPECT_EQ(back.foreignOpens[0].desiredAccess, 0x00120089u);
    EXPECT_EQ(back.foreignOpens[0].shareAccess, 0x1u);
    EXPECT_TRUE(back.foreignOpens[0].deletePending);
    ASSERT_TRUE(back.foreignOpens[0].lock);
    EXPECT_EQ(back.foreignOpens[0].lock->offset, 4u);
    EXPECT_EQ(back.foreignOpens[0].lock->length, 16u);

    fault_sweep::RunSetup noDrive;
    EXPECT_FALSE(isolation::DecodeRunSetup(isolation::EncodeRunSetup(noDrive)).driveC.folder);
}

// An answer cut anywhere, or with a byte too many, is an error: never a
// read past the end, and never half an outcome taken for a whole one.
TEST(RunWire, RefusesAnAnswerCutShortOrTooLong)
{
    const std::string bytes = isolation::EncodeRunOutcome(FullOutcome());
    for (size_t kept = 0; kept < bytes.size(); ++kept) {
        EXPECT_THROW(isolation::DecodeRunOutcome(std::string_view(bytes).substr(0, kept)), isolation::WireError)
            << kept << " of " << bytes.size() << " bytes";
    }
    EXPECT_THROW(isolation::DecodeRunOutcome(bytes + '\0'), isolation::WireError);
}

// A length field no answer could hold is refused before anything is
// allocated for it.
TEST(RunWire, RefusesALengthPastTheEnd)
{
    std::string bytes = isolation::EncodeRunOutcome(fault_sweep::RunOutcome{});
    // The debug output's count follows the 4-byte status.
    const uint64_t huge = uint64_t{1} << 60;
    bytes.replace(4, sizeof huge, reinterpret_cast<const char*>(&huge), sizeof huge);
    EXPECT_THROW(isolation::DecodeRunOutcome(bytes), isolation::WireError);
}

// A sweep's summary, failed runs and their broken rules included, comes
// back whole; a rule's name that is none of the sweep's is refused.
TEST(RunWire, CarriesASweepSummaryWithItsRules)
{
    fault_sweep::SweepSummary summary;
    summary.runs = 7;
    summary.disksOnNtfs = 2;
    summary.disksOnFat = 1;
    summary.faultsInjected = 9;
    summary.runsHeld = 5;
    summary.rulesBroken = 2;
    summary.environmentFailures = 1;
    summary.environment = {{"clean_drive_c", testbed::FileSystem::Fat, {}, "test-bed error: cannot look at /x"}};
    summary.storyDigest = 0x0123456789ABCDEFull;
    summary.failures = {{"second_start",
                         testbed::FileSystem::Ntfs,
                         {{testbed::Routine::ZwWriteFile, 1, 0xC000007Fu, std::nullopt}},
                         {{fault_sweep::rule::HandlesClosed, "handle 0x80000008 left open"},
                          {fault_sweep::rule::FaultsTookEffect, "1 planned, 0 took effect"}}}};
    summary.groups = {{3, summary.failures[0]}};
    summary.planned = {{"after_a_run", testbed::FileSystem::Fat, {{testbed::Routine::ZwClose, 2, 0x40000000u, {}}}}};
    summary.elapsed = std::chrono::milliseconds(1234);

    const fault_sweep::SweepSummary back = isolation::DecodeSweepSummary(isolation::EncodeSweepSummary(summary));
    EXPECT_EQ(back.runs, 7u);
    EXPECT_EQ(back.disksOnNtfs, 2u);
    EXPECT_EQ(back.disksOnFat, 1u);
    EXPECT_EQ(back.faultsInjected, 9u);
    EXPECT_EQ(back.runsHeld, 5u);
    EXPECT_EQ(back.rulesBroken, 2u);
    EXPECT_EQ(back.environmentFailures, 1u);
    ASSERT_EQ(back.environment.size(), 1u);
    EXPECT_EQ(back.environment[0].disk, "clean_drive_c");
    EXPECT_EQ(back.environment[0].fileSystem, testbed::FileSystem::Fat);
    EXPECT_EQ(back.environment[0].what, "test-bed error: cannot look at /x");
    EXPECT_EQ(back.storyDigest, summary.storyDigest);
    ASSERT_EQ(back.failures.size(), 1u);
    EXPECT_EQ(back.failures[0].disk, "second_start");
    ASSERT_EQ(back.failures[0].faults.size(), 1u);
    EXPECT_EQ(back.failures[0].faults[0].status, 0xC000007Fu);
    ASSERT_EQ(back.failures[0].broken.size(), 2u);
    // The rule comes back as the sweep's own constant, not a copy of it.
    EXPECT_EQ(back.failures[0].broken[0].rule.data(), fault_sweep::rule::HandlesClosed.data());
    EXPECT_EQ(back.failures[0].broken[1].detail, "1 planned, 0 took effect");
    ASSERT_EQ(back.groups.size(), 1u);
    EXPECT_EQ(back.groups[0].runs, 3u);
    EXPECT_EQ(back.groups[0].first.disk, "second_start");
    ASSERT_EQ(back.planned.size(), 1u);
    EXPECT_EQ(back.planned[0].disk, "after_a_run");
    EXPECT_EQ(back.planned[0].fileSystem, testbed::FileSystem::Fat);
    ASSERT_EQ(back.planned[0].faults.size(), 1u);
    EXPECT_EQ(back.planned[0].faults[0].occurrence, 2u);
    EXPECT_EQ(back.elapsed, summary.elapsed);

    std::string forged = isolation::EncodeSweepSummary(summary);
    const std::string name(fault_sweep::rule::HandlesClosed);
    forged.replace(forged.find(name), 5, "HANDL");
    EXPECT_THROW(isolation::DecodeSweepSummary(forged), isolation::WireError);
}

const std::filesystem::path GuestDrivers = QUARNHOLD_GUEST_DRIVER_DIR;

// The sweep in one worker counts and finds what the sweep in this process
// does, run for run (the same story digest); an image that takes the
// worker down is swept again with a worker per run, and reports just what
// that sweep reports, its lost runs as failed runs.
TEST(IsolatedSweep, AgreesWithTheSweepRunHereAndSurvivesAnAbort)
{
    const std::vector<fault_sweep::StartingDisk> disks{fault_sweep::FindStartingDisk("clean_drive_c"),
                                                       fault_sweep::FindStartingDisk("after_a_run")};
    fault_sweep::SweepOptions options;
    options.pairs = false;
    for (const std::filesystem::path& path :
         {std::filesystem::path(QUARNHOLD_IMAGE_PATH), GuestDrivers / "aborts_after_failed_write.sys"}) {
        SCOPED_TRACE(path.filename().string());
        emulator::DriverImageRunner isolatedImage(emulator::ReadPeImage(path));
        uint64_t lastDone = 0;
        fault_sweep::SweepOptions watched = options;
        watched.progress = [&](uint64_t done, uint64_t) { lastDone = done; };
        const fault_sweep::SweepSummary isolated = isolation::RunIsolatedSweep(isolatedImage, disks, watched);

        emulator::DriverImageRunner perRunImage(emulator::ReadPeImage(path));
        isolation::IsolatedImageRunner perRun(perRunImage);
        // A worker per run, on a folder: the memory volume the one worker
        // sweeps on must tell the same story.
        testbed::ScratchFolder driveC;
        fault_sweep::SweepOptions onFolder = options;
        onFolder.driveC = driveC.path();
        const fault_sweep::SweepSummary reference = fault_sweep::RunSweep(perRun.AsDriverRunner(), disks, onFolder);

        EXPECT_GT(reference.runs, 100u);
        EXPECT_EQ(isolated.runs, reference.runs);
        EXPECT_EQ(lastDone, reference.runs);
        EXPECT_EQ(isolated.runsHeld, reference.runsHeld);
        EXPECT_EQ(isolated.rulesBroken, reference.rulesBroken);
        EXPECT_EQ(isolated.faultsInjected, reference.faultsInjected);
        EXPECT_EQ(isolated.storyDigest, reference.storyDigest);
        ASSERT_EQ(isolated.failures.size(), reference.failures.size());
        for (size_t i = 0; i < isolated.failures.size(); ++i) {
            ASSERT_EQ(isolated.failures[i].broken.size(), reference.failures[i].broken.size());
            EXPECT_EQ(isolated.failures[i].broken[0].detail, reference.failures[i].broken[0].detail);
        }
    }
}

// Drivers that change some of the CPU's state on their way in, and print
// one more message when a run finds it changed. Swept in one worker, every
// run must find the CPU as the load left it: each then holds every rule and
// tells the real driver's story run for run, which is also the story of
// each run made alone, as a sweep's again: line makes it.
class CpuStateLeftBehind : public ::testing::TestWithParam<std::string> {};

TEST_P(CpuStateLeftBehind, IsFoundByNoRunOfASweep)
{
    const std::vector<fault_sweep::StartingDisk> disks{fault_sweep::FindStartingDisk("clean_drive_c"),
                                                       fault_sweep::FindStartingDisk("after_a_run")};
    fault_sweep::SweepOptions options;
    options.pairs = false;
    static const fault_sweep::SweepSummary real = [&] {
        emulator::DriverImageRunner image(emulator::ReadPeImage(QUARNHOLD_IMAGE_PATH));
        return isolation::RunIsolatedSweep(image, disks, options);
    }();
    emulator::DriverImageRunner image(emulator::ReadPeImage(GuestDrivers / (GetParam() + ".sys")));
    const fault_sweep::SweepSummary changer = isolation::RunIsolatedSweep(image, disks, options);

    ASSERT_GT(real.runs, 100u);
    EXPECT_EQ(changer.runs, real.runs);
    EXPECT_EQ(changer.runsHeld, changer.runs);
    EXPECT_EQ(changer.rulesBroken, 0u);
    for (const fault_sweep::FailedRun& failed : changer.failures) {
        ADD_FAILURE() << "from " << failed.disk << ", " << fault_sweep::DescribeFaults(failed.faults) << ": "
                      << failed.broken.front().rule << ": " << failed.broken.front().detail;
    }
    EXPECT_EQ(changer.storyDigest, real.storyDigest);
}

INSTANTIATE_TEST_SUITE_P(Drivers, CpuStateLeftBehind,
                         ::testing::Values("changes_xmm0", "changes_fpu_control", "changes_cr0",
                                           "changes_segment_register"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// An image that makes Unicorn abort: each run is a guest fault that says
// so, at the last address the worker reached, and the runner runs again.
TEST(IsolatedImageRunner, ReportsARunThatKillsTheEmulator)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(GuestDrivers / "invalid_far_call.sys"));
    isolation::IsolatedImageRunner runner(image);
    for (int run = 0; run < 2; ++run) {
        fault_sweep::RunOutcome outcome = runner.Run({});
        EXPECT_TRUE(outcome.recordLost);
        ASSERT_TRUE(outcome.emulated && outcome.emulated->fault);
        const emulator::GuestFault& fault = *outcome.emulated->fault;
        EXPECT_EQ(fault.what, "the emulator died of SIGABRT, saying \"./qemu/tcg/tcg.c:3073: tcg fatal error\"");
        // FF D8 is DriverEntry's first instruction: nothing ran before it.
        EXPECT_EQ(fault.address, image.EntryPoint());
        EXPECT_EQ(fault.lastKernelCall, "");
        EXPECT_EQ(outcome.fault, emulator::DescribeGuestFault(fault));
        EXPECT_TRUE(outcome.debugOutput.empty());
    }
}

// The trail names the last kernel call before the abort and the address
// reached in the image, all 64 bits of it on amd64, and a sound run on the
// same runner afterwards is whole.
class IsolatedImageRunnerOnEachMachine : public ::testing::TestWithParam<std::string> {};

TEST_P(IsolatedImageRunnerOnEachMachine, NamesTheLastKernelCallAndRunsOnAfterAnAbort)
{
    const bool amd64 = GetParam() == "amd64";
    ScratchFolder driveC;
    const std::filesystem::path drivers = amd64 ? QUARNHOLD_AMD64_GUEST_DRIVER_DIR : QUARNHOLD_GUEST_DRIVER_DIR;
    emulator::DriverImageRunner image(emulator::ReadPeImage(drivers / "aborts_after_failed_write.sys"));
    isolation::IsolatedImageRunner runner(image);
    const testbed::InjectedFault writeFails{testbed::Routine::ZwWriteFile, 1, 0xC0000001u, std::nullopt};

    fault_sweep::RunOutcome aborted = runner.Run({testbed::DriveC{driveC.path(), false}, {writeFails}, {}});
    ASSERT_TRUE(aborted.recordLost);
    const emulator::GuestFault& fault = *aborted.emulated->fault;
    // The failure message was the last call; the abort came right after it,
    // in the image's code.
    const std::string caller = amd64 ? "DbgPrint, called from 0xFFFFF80000A0" : "DbgPrint, called from 0x80A0";
    EXPECT_EQ(fault.lastKernelCall.rfind(caller, 0), 0u) << fault.lastKernelCall;
    EXPECT_GE(fault.address, image.ImageBase());
    EXPECT_LT(fault.address, image.ImageBase() + 0x10000);
    EXPECT_GT(aborted.emulated->stats.instructions, 50u);

    Clear(driveC.path());
    fault_sweep::RunOutcome sound = runner.Run({testbed::DriveC{driveC.path(), false}, {}, {}});
    EXPECT_FALSE(sound.recordLost);
    EXPECT_EQ(sound.fault, "");
    EXPECT_EQ(sound.status, 0xC0000182u);
    EXPECT_EQ(sound.debugOutput.size(), 9u);
    EXPECT_EQ(sound.counts.opened, 3u);
    EXPECT_EQ(sound.counts.closed, 3u);
}

INSTANTIATE_TEST_SUITE_P(Machines, IsolatedImageRunnerOnEachMachine, ::testing::Values("i386", "amd64"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A drive C the host refuses stops the run in the worker as it would here:
// a test-bed error with the same words, not a guest fault.
TEST(IsolatedImageRunner, ReportsAHostRefusalAsItWouldBeHere)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(QUARNHOLD_IMAGE_PATH));
    isolation::IsolatedImageRunner runner(image);
    const fault_sweep::RunSetup setup{testbed::DriveC{std::filesystem::path("/nonexistent/drive-c"), false}, {}, {}};
    std::string here;
    try {
        fault_sweep::MakeModel(setup);
    } catch (const testbed::TestBedError& refused) {
        here = refused.what();
    }
    ASSERT_NE(here.find("/nonexistent/drive-c"), std::string::npos) << here;

    const fault_sweep::RunOutcome outcome = runner.Run(setup);
    EXPECT_EQ(outcome.testBedError, here);
    EXPECT_FALSE(outcome.recordLost);
    EXPECT_EQ(outcome.fault, "");
}

}  // namespace
}  // namespace quarnhold::tests
