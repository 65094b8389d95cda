// quarnhold_run_test.cpp
//
// quarnhold-run as a person runs it: what it prints, the exit status, and a
// one-line reason for every way a run can be refused or fail.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>

#include "fault_sweep/starting_disks.h"
#include "testbed/text_encoding.h"
#include "tests/support/child_process.h"
#include "tests/support/command.h"
#include "tests/support/disk_state.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"
#include "tools/display_text.h"
#include "tools/progress_bar.h"

namespace quarnhold::tests {
namespace {

const std::string Image = BuiltImage().string();
const std::string Amd64Image = BuiltAmd64Image().string();
const std::string GuestDrivers = QUARNHOLD_GUEST_DRIVER_DIR;

CommandResult RunTool(std::vector<std::string> arguments, const std::vector<std::string>& environment = {})
{
    arguments.insert(arguments.begin(), QUARNHOLD_RUN_PATH);
    return RunCommand(arguments, environment);
}

// The messages of a first run on an empty drive, as printed.
std::vector<std::string> TypicalTranscript()
{
    return {Printed(message::DriverEntry),  Printed(message::CreatingDirectory), Printed(message::DirectoryCreated),
            Printed(message::CreatingFile), Printed(message::FileCreated),       Printed(message::OpeningFile),
            Printed(message::FileOpened),   Printed(message::FileWritten),       Printed(message::DriverExit)};
}

TEST(QuarnholdRun, ShowsWhatTheKernelSaw)
{
    CommandResult run = RunTool({"--keep-drive-c", Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::string lines;
    for (const std::string& text : TypicalTranscript()) lines += text + "\n";
    EXPECT_NE(run.out.find(lines), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("DriverEntry returned 0xC0000182 STATUS_DEVICE_CONFIGURATION_ERROR"), std::string::npos);
    EXPECT_NE(run.out.find("handles left open: 0 (3 opened, 3 closed)"), std::string::npos);
    EXPECT_NE(run.out.find("created directory Quarnhold"), std::string::npos);
    EXPECT_NE(run.out.find("Quarnhold\\test.txt is now 20 bytes: \"这里就是文件的内容了\""), std::string::npos);

    // The scratch drive C kept is named, and holds what the run made.
    const std::string prefix = "drive C: ";
    ASSERT_EQ(run.out.rfind(prefix, 0), 0u);
    std::filesystem::path scratch =
        run.out.substr(prefix.size(), run.out.find(" (fresh scratch folder, kept)") - prefix.size());
    EXPECT_EQ(ReadDisk(scratch), (std::vector<DiskItem>{Directory("Quarnhold"),
                                                        File("Quarnhold/test.txt", std::string(TestFileContent))}));
    std::filesystem::remove_all(scratch);
}

// The amd64 image tells the run the i386 image tells, message for message
// and call for call, and leaves the same test.txt; only where each image
// was mapped differs.
TEST(QuarnholdRun, Amd64ImageTellsTheSameRunAsTheI386One)
{
    std::vector<nlohmann::json> records;
    std::vector<std::vector<DiskItem>> disks;
    for (const std::string& image : {Image, Amd64Image}) {
        ScratchFolder driveC;
        CommandResult run = RunTool({"--json", "--trace", "--drive-c", driveC.path().string(), image});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        records.push_back(nlohmann::json::parse(run.out));
        disks.push_back(ReadDisk(driveC.path()));
    }
    const nlohmann::json& i386 = records[0];
    const nlohmann::json& amd64 = records[1];
    EXPECT_EQ(i386["machine"], "i386");
    EXPECT_EQ(amd64["machine"], "amd64");
    EXPECT_EQ(i386["imageBase"], "0x80A00000");
    EXPECT_EQ(amd64["imageBase"], "0xFFFFF80000A00000");
    EXPECT_EQ(amd64["preferredBase"], "0x0000000140000000");
    ASSERT_EQ(amd64["messages"].size(), 9u);
    for (const char* same : {"messages", "status", "handlesLeftOpen", "handlesOpened", "handlesClosed",
                             "driveCChanges", "brokenRules"}) {
        EXPECT_EQ(i386[same], amd64[same]) << same;
    }
    // The same calls, each made from the same source line; only where that
    // line's code lies in each image differs.
    ASSERT_EQ(i386["calls"].size(), amd64["calls"].size());
    for (size_t i = 0; i < i386["calls"].size(); ++i) {
        nlohmann::json left = i386["calls"][i], right = amd64["calls"][i];
        for (const char* field : {"file", "line", "function"}) {
            EXPECT_EQ(left["caller"][field], right["caller"][field]) << "call " << i << " " << field;
        }
        EXPECT_FALSE(right["caller"]["file"].is_null()) << "call " << i << ": no source line on amd64";
        left.erase("caller");
        right.erase("caller");
        EXPECT_EQ(left, right) << "call " << i;
    }
    EXPECT_EQ(disks[0], disks[1]);
    EXPECT_EQ(disks[1], (std::vector<DiskItem>{Directory("Quarnhold"),
                                               File("Quarnhold/test.txt", std::string(TestFileContent))}));

    // Each on its own machine's kernel stack.
    for (const auto& [image, stack] : {std::pair{Image, "100 bytes of the 12288-byte"},
                                       std::pair{Amd64Image, "240 bytes of the 24576-byte"}}) {
        CommandResult text = RunTool({"--stats", image});
        ASSERT_EQ(text.exitCode, 0) << text.err;
        EXPECT_NE(text.out.find(std::string("peak stack: ") + stack + " kernel stack\n"), std::string::npos) << text.out;
    }
    CommandResult text = RunTool({Amd64Image});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("image: " + Amd64Image + ", amd64, mapped at 0xFFFFF80000A00000 (preferred "
                                                     "0x0000000140000000, 2 relocations applied)\n"),
              std::string::npos)
        << text.out;
}

// An image for a machine with no emulated CPU, or whose header names one
// machine and is laid out for the other, is refused before anything runs,
// with the loader's one line.
TEST(QuarnholdRun, RefusesAnImageForAnotherMachineInOneLine)
{
    ScratchFolder folder;
    struct Case {
        std::string source;
        uint16_t machine;
        std::string reason;
    };
    const Case cases[] = {
        {Image, 0xAA64, "machine 0xAA64 is neither i386 (0x014C) nor amd64 (0x8664)"},
        {Amd64Image, 0xAA64, "machine 0xAA64 is neither i386 (0x014C) nor amd64 (0x8664)"},
        {Image, 0x8664, "machine 0x8664 (amd64) with a PE32 optional header: an amd64 image is PE32+"},
        {Amd64Image, 0x014C, "machine 0x014C (i386) with a PE32+ optional header: an i386 image is PE32"},
    };
    for (const Case& c : cases) {
        std::ifstream in(c.source, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t fileHeader = (static_cast<uint8_t>(bytes.at(0x3C)) | static_cast<uint8_t>(bytes.at(0x3D)) << 8) + 4;
        bytes.at(fileHeader) = static_cast<char>(c.machine & 0xFF);
        bytes.at(fileHeader + 1) = static_cast<char>(c.machine >> 8);
        const std::filesystem::path spoiled = folder.path() / "spoiled.sys";
        std::ofstream(spoiled, std::ios::binary) << bytes;

        CommandResult run = RunTool({spoiled.string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "quarnhold-run: cannot load " + spoiled.string() + ": " + c.reason + "\n");
    }
}

TEST(QuarnholdRun, RawWritesTheExactGbkBytes)
{
    ScratchFolder driveC;
    CommandResult run = RunTool({"--raw", "--drive-c", driveC.path().string(), Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string expected;
    for (const std::string& text : TypicalTranscript()) expected += *testbed::Utf8ToGbk(text) + "\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_NE(run.err.find("DriverEntry returned 0xC0000182"), std::string::npos) << run.err;
}

TEST(QuarnholdRun, JsonIsOneRecordOfTheRun)
{
    ScratchFolder driveC;
    LayDown(driveC.path(), {Directory("Quarnhold"), File("Quarnhold/test.txt", "old")});
    CommandResult run = RunTool({"--json", "--stats", "--trace", "--drive-c", driveC.path().string(), Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json record = nlohmann::json::parse(run.out);

    EXPECT_EQ(record["completed"], true);
    EXPECT_EQ(record["status"], "0xC0000182");
    EXPECT_EQ(record["statusName"], "STATUS_DEVICE_CONFIGURATION_ERROR");
    EXPECT_EQ(record["driveC"], std::filesystem::absolute(driveC.path()).string());
    EXPECT_EQ(record["handlesLeftOpen"].size(), 0u);
    EXPECT_EQ(record["handlesOpened"], 2);
    ASSERT_EQ(record["messages"].size(), 9u);
    EXPECT_EQ(record["messages"][2]["text"], Printed(message::DirectoryOpened));
    EXPECT_EQ(record["messages"][4]["text"], Printed(message::FileCreateFailed, 0xC0000035));
    EXPECT_EQ(record["messages"][0]["gbk"], "c7fdb6afc8ebbfda");
    ASSERT_EQ(record["driveCChanges"].size(), 1u);
    EXPECT_EQ(record["driveCChanges"][0]["kind"], "wrote");
    EXPECT_EQ(record["driveCChanges"][0]["length"], 20);
    EXPECT_GT(record["stats"]["instructions"].get<uint64_t>(), 0u);
    EXPECT_GT(record["stats"]["peakStackBytes"].get<uint32_t>(), 0u);
    EXPECT_LT(record["stats"]["peakStackBytes"].get<uint32_t>(), 12u * 1024);
    EXPECT_EQ(record["calls"].size(), 15u);
}

TEST(QuarnholdRun, DriveOptionsReachTheModel)
{
    CommandResult noDrive = RunTool({"--no-drive-c", Image});
    ASSERT_EQ(noDrive.exitCode, 0) << noDrive.err;
    EXPECT_NE(noDrive.out.find(Printed(message::DirectoryFailed, 0xC000003A)), std::string::npos) << noDrive.out;

    ScratchFolder driveC;
    CommandResult writeProtected = RunTool({"--write-protected", "--drive-c", driveC.path().string(), Image});
    ASSERT_EQ(writeProtected.exitCode, 0) << writeProtected.err;
    EXPECT_NE(writeProtected.out.find(Printed(message::DirectoryFailed, 0xC00000A2)), std::string::npos);
    EXPECT_TRUE(ReadDisk(driveC.path()).empty());
}

// A folder the host mounts read-only is a write-protected volume, decided
// when drive C is set up: on FAT the open for writing of test.txt succeeds
// and the write fails, as FastFAT answers; no EROFS decides anything. The
// mount is made in a mount namespace of the command's own.
TEST(QuarnholdRun, AReadOnlyMountIsAWriteProtectedVolume)
{
    ScratchFolder driveC;
    const std::string script =
        "mount -t tmpfs -o size=64k quarnhold \"$1\" && mkdir \"$1/Quarnhold\" && printf old > "
        "\"$1/Quarnhold/test.txt\" && mount -o remount,ro \"$1\" || exit 99; exec \"$2\" --file-system fat "
        "--drive-c \"$1\" \"$3\"";
    CommandResult run = RunCommand(
        {"unshare", "--map-root-user", "--mount", "sh", "-c", script, "sh", driveC.path().string(), QUARNHOLD_RUN_PATH, Image});
    if (run.exitCode == 99 || run.err.find("unshare: ") != std::string::npos) {
        GTEST_SKIP() << "no mount namespace here: " << run.err;
    }
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(", FAT, write-protected (a read-only mount)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(Printed(message::FileCreateFailed, 0xC0000035)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(Printed(message::FileOpened)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(Printed(message::FileWriteFailed, 0xC00000A2)), std::string::npos) << run.out;
}

// The sweep's last line, as numbers.
struct SweepFigures {
    uint64_t runs = 0, disksOnNtfs = 0, disksOnFat = 0, faults = 0, held = 0, broken = 0;
};

std::optional<SweepFigures> SummaryFigures(const std::string& out)
{
    static const std::regex line(
        R"(fault sweep: (\d+) runs from (\d+) starting disks on NTFS and (\d+) on FAT, (\d+) faults injected, )"
        R"((\d+) runs held every rule, (\d+) rules broken \([0-9.]+ s\)\n$)");
    std::smatch match;
    if (!std::regex_search(out, match, line)) return std::nullopt;
    return SweepFigures{std::stoull(match[1]), std::stoull(match[2]), std::stoull(match[3]),
                        std::stoull(match[4]), std::stoull(match[5]), std::stoull(match[6])};
}

TEST(QuarnholdRunSweep, EndsWithItsSummaryLine)
{
    CommandResult run = RunTool({"--sweep", "--single-faults", Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // No terminal here, so no progress bar either.
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("from 25 starting disks, each on NTFS and on FAT where it can be"), std::string::npos)
        << run.out;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    // Every disk on both file systems, but the one with a symbolic link
    // (NTFS only) and the three full volumes (FAT only).
    EXPECT_EQ(figures->disksOnNtfs, 22u);
    EXPECT_EQ(figures->disksOnFat, 24u);
    EXPECT_GT(figures->runs, 46u);
    EXPECT_EQ(figures->held, figures->runs);
    EXPECT_EQ(figures->broken, 0u);
    // One fault per run, bar the 46 runs without one.
    EXPECT_EQ(figures->faults, figures->runs - 46);

    CommandResult json = RunTool({"--sweep", "--single-faults", "--json", Image});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json record = nlohmann::json::parse(json.out);
    EXPECT_EQ(record["schema"], 1);
    EXPECT_TRUE(record["filter"].is_null());
    EXPECT_EQ(record["runs"], figures->runs);
    EXPECT_EQ(record["disksOnNtfs"], 22);
    EXPECT_EQ(record["disksOnFat"], 24);
    EXPECT_EQ(record["faultsInjected"], figures->faults);
    EXPECT_EQ(record["runsHeld"], figures->runs);
    EXPECT_EQ(record["rulesBroken"], 0);
    EXPECT_TRUE(record["failures"].empty());

    // On a folder, every run tells the story it tells in memory.
    CommandResult onFolder = RunTool({"--sweep", "--single-faults", "--sweep-on-folder", "--json", Image});
    ASSERT_EQ(onFolder.exitCode, 0) << onFolder.err;
    nlohmann::json folderRecord = nlohmann::json::parse(onFolder.out);
    EXPECT_EQ(folderRecord["runs"], figures->runs);
    EXPECT_EQ(folderRecord["storyDigest"], record["storyDigest"]) << "the folder and memory disagree on some run";
}

// A second close gets STATUS_INVALID_HANDLE and the run goes on, as on NT,
// but the sweep still fails the driver for it, as a verifier would.
TEST(QuarnholdRunSweep, FailsADriverThatClosesAHandleTwice)
{
    CommandResult run = RunTool({"--sweep", "--single-faults", GuestDrivers + "/closes_handle_twice.sys"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.out.find("ZwClose of handle 0x80000004, which is already closed: closed twice"), std::string::npos)
        << run.out;
}

// The rule lines and again: line of each group of failed runs in a sweep's
// text: the lines from "  the first" or "  the run" up to "  again:".
struct SweepGroup {
    uint64_t runs = 0;
    std::string header;              // "ZwWriteFile #1 returns an error"
    std::vector<std::string> rules;  // "  <rule>: <detail>"
    std::string again;               // the command, as printed
};

std::vector<SweepGroup> SweepGroups(const std::string& out)
{
    std::vector<SweepGroup> groups;
    std::istringstream lines(out);
    static const std::regex header(R"(FAILED (\d+) runs?: (.*))");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, header)) {
            groups.push_back({std::stoull(match[1]), match[2], {}, ""});
        } else if (!groups.empty() && groups.back().again.empty() && line.rfind("  again: ", 0) == 0) {
            groups.back().again = line.substr(9);
        } else if (!groups.empty() && groups.back().again.empty() && line.rfind("  the ", 0) != 0) {
            groups.back().rules.push_back(line);
        }
    }
    return groups;
}

// A driver with a bug on the failed-write path: the sweep groups its failed
// runs by what failed, and every group's again: line, pasted into a shell,
// fails alone with the rule lines the sweep printed.
TEST(QuarnholdRunSweep, GroupsFailedRunsAndEachRepeatsAlone)
{
    const std::string image = GuestDrivers + "/skips_close_after_failed_write.sys";
    CommandResult run = RunTool({"--sweep", "--single-faults", image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    EXPECT_LT(figures->held, figures->runs);
    const std::string again = "  again: " + std::string(QUARNHOLD_RUN_PATH) +
                              " --start-disk clean_drive_c --fault ZwWriteFile#1=0xC0000001 --trace " + image + "\n";
    EXPECT_NE(run.out.find(": ZwWriteFile #1 returns an error\n"
                           "  the first from clean_drive_c on NTFS, ZwWriteFile #1 returns 0xC0000001 "
                           "STATUS_UNSUCCESSFUL:\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(
        run.out.find("  every handle closed exactly once: handle 0x8000000C to Quarnhold\\test.txt was left open\n" +
                     again),
        std::string::npos)
        << run.out;

    const std::vector<SweepGroup> groups = SweepGroups(run.out);
    ASSERT_GE(groups.size(), 2u) << run.out;
    uint64_t grouped = 0;
    for (const SweepGroup& group : groups) grouped += group.runs;
    EXPECT_EQ(grouped, figures->runs - figures->held);
    EXPECT_LT(groups.size(), grouped) << "grouping put no two runs together";
    EXPECT_NE(run.out.find(std::to_string(grouped) + " failed runs in " + std::to_string(groups.size()) +
                           " groups, by the calls faulted and the rules broken:\n"),
              std::string::npos);
    for (const SweepGroup& group : groups) {
        ASSERT_FALSE(group.again.empty()) << group.header;
        CommandResult repeated = RunCommand({"bash", "-c", group.again});
        EXPECT_EQ(repeated.exitCode, 1) << group.again << "\n" << repeated.err;
        std::string verdict;
        for (const std::string& rule : group.rules) verdict += rule + "\n";
        // The run's report ends with the same lines, under its verdict.
        ASSERT_GE(repeated.out.size(), verdict.size() + 2);
        EXPECT_EQ(repeated.out.substr(repeated.out.size() - verdict.size() - 2), ":\n" + verdict) << group.again << "\n"
                                                                                                  << repeated.out;
        EXPECT_EQ(repeated.err.rfind("quarnhold-run: the run broke ", 0), 0u) << repeated.err;
    }
}

// Images that make the emulator itself abort (Unicorn cannot translate FF D8
// or FF E8). The run is a guest fault like any other: exit status 1, and one
// line on standard error with what happened, the last guest address known and
// the last kernel call. The report says what was lost with the emulator.
struct EmulatorDeathCase {
    std::string name;
    std::vector<std::string> arguments;
    std::string lineEnd;  // a pattern the one line ends with
};

void PrintTo(const EmulatorDeathCase& c, std::ostream* out)
{
    *out << c.name;
}

const EmulatorDeathCase EmulatorDeathCases[] = {
    {"abort_at_the_first_instruction",
     {"--no-drive-c", GuestDrivers + "/invalid_far_call.sys"},
     R"(\(at invalid_far_call\.sys\+0x1000 \(tests/guest_drivers/invalid_far_call\.cpp:\d+\)\); last kernel call: none)"},
    {"abort_after_a_kernel_call",
     {"--start-disk", "clean_drive_c", "--fault", "ZwWriteFile#1=0xC0000001",
      GuestDrivers + "/aborts_after_failed_write.sys"},
     R"(\(at aborts_after_failed_write\.sys\+0x[0-9A-F]+ \([a-z_/]+\.cpp:\d+\)\); )"
     R"(last kernel call: DbgPrint, called from aborts_after_failed_write\.sys\+0x[0-9A-F]+ \([a-z_/]+\.cpp:\d+\))"},
};

class QuarnholdRunEmulatorDeath : public ::testing::TestWithParam<EmulatorDeathCase> {};

TEST_P(QuarnholdRunEmulatorDeath, IsAGuestFaultOnOneLine)
{
    const std::regex line(
        "quarnhold-run: guest fault: the emulator died of SIGABRT, saying \"[^\"\n]*tcg fatal "
        "error\" " +
        GetParam().lineEnd + "\n");
    CommandResult run = RunTool(GetParam().arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(std::regex_match(run.err, line)) << run.err;
    EXPECT_NE(run.out.find("DriverEntry did not return: the emulator died of SIGABRT"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("was lost with the emulator's process"), std::string::npos) << run.out;

    std::vector<std::string> json = GetParam().arguments;
    json.insert(json.begin(), "--json");
    CommandResult record = RunTool(json);
    EXPECT_EQ(record.exitCode, 1);
    EXPECT_TRUE(std::regex_match(record.err, line)) << record.err;
    const nlohmann::json parsed = nlohmann::json::parse(record.out);
    EXPECT_EQ(parsed["completed"], false);
    EXPECT_EQ(parsed["recordLost"], true);
    EXPECT_TRUE(parsed["messages"].is_null()) << "unknown, not empty";
    EXPECT_NE(parsed["fault"]["what"].get<std::string>().find("SIGABRT"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunEmulatorDeath, ::testing::ValuesIn(EmulatorDeathCases),
                         [](const ::testing::TestParamInfo<EmulatorDeathCase>& info) { return info.param.name; });

// The sweep makes every run, records each one that killed the emulator as
// failed with the command that repeats it, and ends with its summary line.
TEST(QuarnholdRunSweep, GoesOnPastRunsThatKillTheEmulator)
{
    const std::string image = GuestDrivers + "/aborts_after_failed_write.sys";
    CommandResult run = RunTool({"--sweep", "--single-faults", image});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "") << "nothing from the dying emulator reaches the terminal";
    EXPECT_NE(run.out.find("  the first from clean_drive_c on NTFS, ZwWriteFile #1 returns 0xC0000001 "
                           "STATUS_UNSUCCESSFUL:\n"
                           "  DriverEntry returned to the loader: the emulator died of SIGABRT"),
              std::string::npos)
        << run.out;
    const std::string again = "  again: " + std::string(QUARNHOLD_RUN_PATH) +
                              " --start-disk clean_drive_c --fault ZwWriteFile#1=0xC0000001 --trace " + image + "\n";
    EXPECT_NE(run.out.find(again), std::string::npos) << run.out;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    EXPECT_GT(figures->held, figures->runs / 2);
    EXPECT_LT(figures->held, figures->runs);

    CommandResult repeated =
        RunTool({"--start-disk", "clean_drive_c", "--fault", "ZwWriteFile#1=0xC0000001", "--trace", image});
    EXPECT_EQ(repeated.exitCode, 1);
    EXPECT_EQ(repeated.err.rfind("quarnhold-run: guest fault: the emulator died of SIGABRT", 0), 0u) << repeated.err;
    EXPECT_EQ(std::count(repeated.err.begin(), repeated.err.end(), '\n'), 1) << repeated.err;
}

// A run from a named starting disk, with faults given on the command line.
TEST(QuarnholdRun, StartsFromANamedDiskWithGivenFaults)
{
    CommandResult run = RunTool({"--start-disk", "after_a_run", "--fault", "ZwCreateFile#1=info:5", "--fault",
                                 "ZwCreateFile#3=c0000043", Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(", laid out as after_a_run\n"), std::string::npos) << run.out;
    // Information 5 prints no outcome for the directory; the open is refused.
    std::string lines;
    for (const std::string& text : {Printed(message::CreatingDirectory), Printed(message::CreatingFile),
                                    Printed(message::FileCreateFailed, 0xC0000035), Printed(message::OpeningFile),
                                    Printed(message::FileOpenFailed, 0xC0000043), Printed(message::DriverExit)}) {
        lines += text + "\n";
    }
    EXPECT_NE(run.out.find(lines), std::string::npos) << run.out;

    // Each disk on a line of its own, its name first and what it holds
    // after, in the table's order.
    CommandResult list = RunTool({"--start-disk", "list"});
    EXPECT_EQ(list.exitCode, 0);
    std::istringstream listed(list.out);
    std::string line;
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        ASSERT_TRUE(std::getline(listed, line)) << list.out;
        static const std::regex columns(R"((\w+) {2,}(\S.*))");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, columns)) << line;
        EXPECT_EQ(match[1], disk.name);
        EXPECT_EQ(match[2], disk.description);
        EXPECT_FALSE(disk.description.empty()) << disk.name;
    }
    EXPECT_FALSE(std::getline(listed, line)) << line;
}

// --file-system reaches the model, and the report and the sweep's repeat
// command say which file system a run had.
TEST(QuarnholdRun, FileSystemOptionReachesTheModel)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string failure;  // the one outcome message that tells the file systems apart
        std::string driveLine;
    };
    const Case cases[] = {
        {{"--start-disk", "test_file_is_a_directory", "--file-system", "fat"},
         Printed(message::FileWriteFailed, 0xC000000D),
         ", FAT, laid out as test_file_is_a_directory\n"},
        {{"--start-disk", "test_file_is_a_directory", "--file-system=ntfs"},
         Printed(message::FileWriteFailed, 0xC0000010),
         ", NTFS, laid out as test_file_is_a_directory\n"},
        {{"--start-disk", "test_file_is_a_directory"},
         Printed(message::FileWriteFailed, 0xC0000010),
         ", NTFS, laid out as test_file_is_a_directory\n"},
        {{"--start-disk", "write_protected_after_a_run", "--file-system", "fat"},
         Printed(message::FileWriteFailed, 0xC00000A2),
         ", FAT, laid out as write_protected_after_a_run, "},
        {{"--start-disk", "write_protected_after_a_run"},
         Printed(message::FileOpenFailed, 0xC00000A2),
         ", NTFS, laid out as write_protected_after_a_run, "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back(Image);
        CommandResult run = RunTool(arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find(c.failure + "\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.driveLine), std::string::npos) << run.out;
    }
    CommandResult json = RunTool({"--json", "--file-system", "fat", "--start-disk", "clean_drive_c", Image});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out)["fileSystem"], "fat");
}

// The bar is redrawn in place on a terminal, and absent anywhere else.
TEST(ProgressBar, DrawsOnlyOnATerminal)
{
    std::ostringstream pipe;
    {
        tools::ProgressBar bar(pipe, false);
        bar.Update(5, 10);
    }
    EXPECT_EQ(pipe.str(), "");

    std::ostringstream terminal;
    {
        tools::ProgressBar bar(terminal, true);
        bar.Update(3, 0);
        bar.Update(16, 16);  // the last update is always drawn
    }
    EXPECT_EQ(terminal.str(),
              "\r\x1b[Kplanning: 3 runs\r\x1b[K[" + std::string(40, '#') + "] 100%  16/16 runs\r\x1b[K");
}

struct RefusalCase {
    std::string name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string reason;  // a part of the one line on standard error
    std::vector<std::string> environment = {};
};

void PrintTo(const RefusalCase& c, std::ostream* out)
{
    *out << c.name;
}

// Copies of the image spoiled one way each, made once in a folder of their
// own, which goes when the test program ends.
std::string SpoiledImage(const std::string& name, size_t keep, bool flipChecksum)
{
    static const ScratchFolder folder;
    std::filesystem::path path = folder.path() / ("quarnhold-run-test-" + name + ".sys");
    std::ifstream in(Image, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(std::min(keep, bytes.size()));
    if (flipChecksum && !bytes.empty()) bytes.back() ^= 0x5A;  // the data changes, the stored checksum does not
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

const RefusalCase RefusalCases[] = {
    {"no_such_image", {"/nonexistent/quarnhold.sys"}, 2, "no such image: /nonexistent/quarnhold.sys"},
    {"image_is_a_folder", {"/tmp"}, 2, "/tmp is not a file"},
    {"drive_c_is_a_file", {"--drive-c", Image, Image}, 2, Image + " is not a folder"},
    {"drive_c_missing", {"--drive-c", "/nonexistent/c", Image}, 2, "no such folder for drive C: /nonexistent/c"},
    {"drive_c_name_too_long",
     {"--drive-c", "/tmp/" + std::string(300, 'c'), Image},
     2,
     "as drive C: File name too long (ENAMETOOLONG)"},
    {"no_scratch_folder_possible",
     {Image},
     1,
     "test-bed error: cannot make a scratch folder under /nonexistent/tmp: No such file or directory (ENOENT)",
     {"TMPDIR=/nonexistent/tmp"}},
    {"keep_drive_c_of_a_named_folder",
     {"--keep-drive-c", "--drive-c", "/tmp", Image},
     2,
     "--keep-drive-c keeps a fresh scratch drive C"},
    {"unknown_option", {"--fast", Image}, 2, "unknown option --fast"},
    {"no_image", {"--stats"}, 2, "no image given"},
    {"two_images", {Image, Image}, 2, "more than one image given"},
    {"raw_and_json", {"--raw", "--json", Image}, 2, "--raw and --json cannot be combined"},
    {"truncated_image", {SpoiledImage("truncated", 700, false)}, 1, "cannot load"},
    {"bad_checksum", {SpoiledImage("checksum", SIZE_MAX, true)}, 1, "checksum"},
    {"guest_fault", {GuestDrivers + "/stack_overflow.sys"}, 1, "guest fault: stack overflow"},
    {"guest_fault_names_the_last_call",
     {GuestDrivers + "/bad_object_attributes.sys"},
     1,
     "last kernel call: ZwCreateFile, called from bad_object_attributes.sys+0x"},
    {"kernel_rule_broken", {GuestDrivers + "/opens_a_user_handle.sys"}, 1, "kernel-rules"},
    // NT answers a second close with STATUS_INVALID_HANDLE and goes on; a
    // verifier's finding fails the run.
    {"closed_twice",
     {GuestDrivers + "/closes_handle_twice.sys"},
     1,
     "kernel-rules"},
    {"unknown_file_system", {"--file-system", "hpfs", Image}, 2, "--file-system takes ntfs or fat, not hpfs"},
    {"file_system_without_drive_c",
     {"--no-drive-c", "--file-system", "fat", Image},
     2,
     "--no-drive-c leaves no drive C to format"},
    {"link_on_fat",
     {"--start-disk", "work_directory_is_a_link", "--file-system", "fat", Image},
     2,
     "only NTFS can hold"},
    {"sweep_with_stats",
     {"--sweep", "--stats", Image},
     2,
     "--sweep makes its own drives C and faults: it cannot be combined with --stats"},
    {"pending_status",
     {"--fault", "ZwCreateFile#1=103", Image},
     2,
     "STATUS_PENDING never comes back from a call on a synchronous handle"},
    {"unknown_start_disk", {"--start-disk", "floppy", Image}, 2, "no starting disk named floppy"},
    {"start_disk_and_drive",
     {"--start-disk", "after_a_run", "--no-drive-c", Image},
     2,
     "--start-disk lays down its own drive C"},
    {"fault_without_a_number", {"--fault", "ZwClose=0xC0000008", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_on_the_zeroth_call", {"--fault", "ZwClose#0=0xC0000008", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_with_a_bad_status", {"--fault", "ZwClose#1=0xG", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_on_dbgprint",
     {"--fault", "DbgPrint#1=1", Image},
     2,
     "DbgPrint is not ZwCreateFile, ZwWriteFile or ZwClose"},
    {"information_on_a_write", {"--fault", "ZwWriteFile#1=info:3", Image}, 2, "only ZwCreateFile takes info:"},
    {"sweep_with_a_fault", {"--sweep", "--fault", "ZwClose#1=1", Image}, 2, "--sweep makes its own drives C"},
    {"sweep_with_a_drive", {"--sweep", "--drive-c", "/tmp", Image}, 2, "--sweep makes its own drives C"},
    {"single_faults_without_sweep", {"--single-faults", Image}, 2, "--single-faults needs --sweep"},
    {"sweep_on_folder_without_sweep", {"--sweep-on-folder", Image}, 2, "--sweep-on-folder needs --sweep"},
    {"sweep_of_no_image", {"--sweep", "/nonexistent/quarnhold.sys"}, 2, "no such image"},
    {"sweep_of_a_spoiled_image", {"--sweep", SpoiledImage("checksum", SIZE_MAX, true)}, 1, "checksum"},
    // A call given a success status does its work: with 0 it is the call
    // unfaulted, and the report would count a fault that changed nothing.
    {"fault_with_status_zero",
     {"--fault", "ZwCreateFile#1=0", Image},
     2,
     "--fault: ZwCreateFile#1=0 is no fault: 0 is STATUS_SUCCESS"},
    {"same_call_faulted_twice",
     {"--fault", "ZwClose#1=0xC0000008", "--fault=ZwClose#1=0xC0000001", Image},
     2,
     "ZwClose #1 is faulted twice (ZwClose#1=0xC0000008 and ZwClose#1=0xC0000001)"},
    {"same_create_given_a_status_and_information",
     {"--fault", "ZwCreateFile#2=info:5", "--fault", "ZwCreateFile#2=c0000022", Image},
     2,
     "ZwCreateFile #2 is faulted twice"},
    {"fault_on_a_call_never_made",
     {"--fault", "ZwWriteFile#2=0xC0000001", Image},
     1,
     "the run broke 1 rule: faults-took-effect"},
    {"information_for_a_failed_create",
     {"--no-drive-c", "--fault", "ZwCreateFile#1=info:5", Image},
     1,
     "the run broke 1 rule: faults-took-effect"},
    {"drive_c_given_twice", {"--drive-c", "/tmp", "--drive-c=/tmp", Image}, 2, "--drive-c is given twice"},
    {"start_disk_given_twice",
     {"--start-disk=after_a_run", "--start-disk", "after_a_run", Image},
     2,
     "--start-disk is given twice"},
    {"flag_with_a_value", {"--json=yes", Image}, 2, "--json takes no value"},
    {"unknown_option_with_a_value", {"--fast=1", Image}, 2, "unknown option --fast"},
    {"value_missing_at_the_end", {Image, "--fault"}, 2, "--fault needs ROUTINE#N=STATUS"},
    {"option_after_the_end_of_options", {"--", "--json"}, 2, "no such image: --json"},
    {"control_characters_in_a_path", {"/nonexistent/\x1b[2J\n.sys"}, 2, "no such image: /nonexistent/\\x1B[2J\\n.sys"},
    {"unknown_status_name",
     {"--fault", "ZwWriteFile#1=STATUS_NOPE", Image},
     2,
     "--fault: no status named STATUS_NOPE is known here"},
    {"two_start_disks_for_one_run",
     {"--start-disk", "after_a_run", "--start-disk", "clean_drive_c", Image},
     2,
     "a run starts from one disk"},
    {"max_failures_without_sweep", {"--max-failures", "3", Image}, 2, "--max-failures needs --sweep"},
    {"list_runs_without_sweep", {"--list-runs", Image}, 2, "--list-runs needs --sweep"},
    {"fault_call_without_sweep", {"--fault-call", "ZwClose", Image}, 2, "--fault-call needs --sweep"},
    {"fault_status_without_sweep", {"--fault-status", "c000007f", Image}, 2, "--fault-status needs --sweep"},
    {"max_failures_not_a_number",
     {"--sweep", "--max-failures", "some", Image},
     2,
     "--max-failures takes a number or all, not some"},
    {"list_runs_with_max_failures",
     {"--sweep", "--list-runs", "--max-failures=all", Image},
     2,
     "--list-runs makes none"},
    {"fault_call_not_a_routine",
     {"--sweep", "--fault-call", "DbgPrint", Image},
     2,
     "--fault-call: DbgPrint is not ZwCreateFile, ZwWriteFile or ZwClose"},
    {"fault_call_on_the_zeroth_call",
     {"--sweep", "--fault-call", "ZwClose#0", Image},
     2,
     "--fault-call wants ROUTINE or ROUTINE#N"},
    {"fault_status_unknown_name",
     {"--sweep", "--fault-status", "STATUS_NOPE", Image},
     2,
     "--fault-status: no status named STATUS_NOPE"},
    {"fault_status_not_a_status",
     {"--sweep", "--fault-status", "full", Image},
     2,
     "--fault-status: full is neither a status in hex"},
    {"fault_status_never_swept",
     {"--sweep", "--fault-status", "STATUS_MEDIA_WRITE_PROTECTED", Image},
     2,
     "--fault-status: the sweep never injects 0xC00000A2 STATUS_MEDIA_WRITE_PROTECTED"},
    {"sweep_from_an_unknown_disk", {"--sweep", "--start-disk", "floppy", Image}, 2, "no starting disk named floppy"},
    {"sweep_of_a_link_on_fat",
     {"--sweep", "--start-disk", "work_directory_is_a_link", "--file-system", "fat", Image},
     2,
     "the filter matches no run: work_directory_is_a_link exists on NTFS only"},
    {"filter_that_matches_no_run",
     {"--sweep", "--single-faults", "--start-disk", "no_drive_c", "--fault-call", "ZwWriteFile", Image},
     2,
     "the filter matches no run of the sweep: --start-disk no_drive_c --fault-call ZwWriteFile"},
};

class QuarnholdRunRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(QuarnholdRunRefusal, ExitsWithOneLineReason)
{
    CommandResult run = RunTool(GetParam().arguments, GetParam().environment);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err;
    ASSERT_EQ(run.err.rfind("quarnhold-run: ", 0) == 0 || run.err.find("\nquarnhold-run: ") != std::string::npos, true)
        << run.err;
    size_t line = run.err.rfind("quarnhold-run: ");
    std::string reason = run.err.substr(line, run.err.find('\n', line) - line);
    EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunRefusal, ::testing::ValuesIn(RefusalCases),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The scratch folders quarnhold-c-* in `folder`.
std::vector<std::string> ScratchFoldersIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("quarnhold-c-", 0) == 0) names.push_back(name);
    }
    return names;
}

// A run however it ends, in a TMPDIR of its own: only a drive C asked to be
// kept is left there.
struct EndCase {
    std::string name;
    std::vector<std::string> arguments;  // before quarnhold-run's own; "RUN" stands for it
    int exitCode;
    std::string said;  // a part of what the run wrote, on either stream
    size_t left = 0;   // scratch folders left afterwards
};

void PrintTo(const EndCase& c, std::ostream* out)
{
    *out << c.name;
}

const EndCase EndCases[] = {
    {"typical_run", {"RUN", Image}, 0, "drive C: a fresh scratch folder, removed after the run, NTFS\n"},
    {"from_a_starting_disk",
     {"RUN", "--start-disk", "after_a_run", Image},
     0,
     "drive C: a fresh scratch folder, removed after the run, NTFS, laid out as after_a_run\n"},
    {"kept_on_request", {"RUN", "--keep-drive-c", Image}, 0, " (fresh scratch folder, kept), NTFS\n", 1},
    {"image_that_cannot_load", {"RUN", SpoiledImage("checksum", SIZE_MAX, true)}, 1, "checksum"},
    {"guest_fault", {"RUN", GuestDrivers + "/stack_overflow.sys"}, 1, "guest fault: stack overflow"},
    {"kernel_rule_broken", {"RUN", GuestDrivers + "/opens_a_user_handle.sys"}, 1, "kernel-rules"},
    {"closed_twice", {"RUN", GuestDrivers + "/closes_handle_twice.sys"}, 1, "kernel-rules"},
    // A host that cannot hold test.txt: the disk cannot be laid down.
    {"disk_cannot_be_laid_down",
     {"prlimit", "--fsize=10", "--", "RUN", "--start-disk", "after_a_run", Image},
     1,
     "quarnhold-run: test-bed error: cannot write "},
    // Nor can the driver's write be made: no driver message is shown.
    {"write_cannot_be_made",
     {"prlimit", "--fsize=10", "--", "RUN", Image},
     1,
     "quarnhold-run: test-bed error: cannot write to "},
};

class QuarnholdRunEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(QuarnholdRunEnd, LeavesOnlyADriveCAskedFor)
{
    const EndCase& c = GetParam();
    ScratchFolder tmpdir;
    std::vector<std::string> argv = c.arguments;
    std::replace(argv.begin(), argv.end(), std::string("RUN"), std::string(QUARNHOLD_RUN_PATH));
    CommandResult run = RunCommand(argv, {"TMPDIR=" + tmpdir.path().string()});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    EXPECT_EQ(ScratchFoldersIn(tmpdir.path()).size(), c.left);
    if (c.exitCode != 0) {
        // A run that fails shows one line, and a host failure no driver message.
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    if (c.said.find("test-bed error") != std::string::npos) {
        EXPECT_EQ(run.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunEnd, ::testing::ValuesIn(EndCases),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

// As a user who may not write drive C, read the image or search for the
// folder: the host's refusal is named with its errno, and never reported
// as the driver's doing.
struct AsNobodyCase {
    std::string name;
    std::function<std::vector<std::string>(const std::filesystem::path& folder, const std::string& image)> arguments;
    int exitCode;
    std::string reason;  // a part of the one line on standard error; FOLDER stands for the folder
};

void PrintTo(const AsNobodyCase& c, std::ostream* out)
{
    *out << c.name;
}

const AsNobodyCase AsNobodyCases[] = {
    {"drive_c_not_writable",
     [](const std::filesystem::path& folder, const std::string& image) {
         std::filesystem::create_directory(folder / "c");
         return std::vector<std::string>{"--drive-c", (folder / "c").string(), image};
     },
     1, "quarnhold-run: test-bed error: cannot create the directory FOLDER/c/Quarnhold: Permission denied (EACCES)"},
    {"image_not_readable",
     [](const std::filesystem::path& folder, const std::string& image) {
         std::filesystem::copy_file(image, folder / "unreadable.sys");
         std::filesystem::permissions(folder / "unreadable.sys", std::filesystem::perms::owner_read);
         return std::vector<std::string>{"--no-drive-c", (folder / "unreadable.sys").string()};
     },
     1,
     "quarnhold-run: cannot load FOLDER/unreadable.sys: cannot read FOLDER/unreadable.sys: Permission denied (EACCES)"},
    {"image_not_reachable",
     [](const std::filesystem::path& folder, const std::string& image) {
         std::filesystem::create_directories(folder / "closed");
         std::filesystem::permissions(folder / "closed", std::filesystem::perms::owner_all);
         std::filesystem::copy_file(image, folder / "closed/quarnhold.sys");
         return std::vector<std::string>{"--no-drive-c", (folder / "closed/quarnhold.sys").string()};
     },
     2, "quarnhold-run: cannot reach the image FOLDER/closed/quarnhold.sys: Permission denied (EACCES)"},
    {"drive_c_not_reachable",
     [](const std::filesystem::path& folder, const std::string& image) {
         std::filesystem::create_directories(folder / "closed/c");
         std::filesystem::permissions(folder / "closed", std::filesystem::perms::owner_all);
         return std::vector<std::string>{"--drive-c", (folder / "closed/c").string(), image};
     },
     2, "quarnhold-run: cannot use FOLDER/closed/c as drive C: Permission denied (EACCES)"},
};

class QuarnholdRunAsNobody : public ::testing::TestWithParam<AsNobodyCase> {};

TEST_P(QuarnholdRunAsNobody, NamesTheHostsRefusal)
{
    if (!RunningAsRoot()) {
        GTEST_SKIP() << "runs quarnhold-run as the user nobody, which only root can arrange";
    }
    ScratchFolder folder;
    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                    std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec);
    // nobody runs copies of the tool and the image that lie in the scratch
    // folder: the build folder may be one others cannot enter (a checkout
    // under /root, or under a folder made by mktemp -d).
    struct statvfs volume{};
    if (statvfs(folder.path().c_str(), &volume) == 0 && (volume.f_flag & ST_NOEXEC) != 0) {
        GTEST_SKIP() << "TMPDIR (" << folder.path() << ") is mounted noexec, so nobody cannot run a copy there";
    }
    const std::filesystem::path tool = folder.path() / "quarnhold-run", image = folder.path() / "quarnhold.sys";
    std::filesystem::copy_file(QUARNHOLD_RUN_PATH, tool);
    std::filesystem::copy_file(Image, image);
    std::filesystem::permissions(image, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                            std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", tool.string()};
    for (std::string& argument : GetParam().arguments(folder.path(), image.string())) argv.push_back(argument);
    CommandResult run = RunCommand(argv);

    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err;
    std::string reason = GetParam().reason;
    while (reason.find("FOLDER") != std::string::npos) reason.replace(reason.find("FOLDER"), 6, folder.path().string());
    EXPECT_EQ(run.err.rfind(reason, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), GetParam().exitCode == 2 ? 2 : 1) << run.err;
    // Nothing of a run is shown, so no failure message blames the driver.
    EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunAsNobody, ::testing::ValuesIn(AsNobodyCases),
                         [](const ::testing::TestParamInfo<AsNobodyCase>& info) { return info.param.name; });

// A report that cannot be written fails the run, and leaves no scratch
// drive C behind: standard output full, closed, or a pipe whose reader has
// gone (`quarnhold-run IMAGE | true`) or goes after the first bytes
// (`quarnhold-run --sweep IMAGE | head -c 10`), which must not kill the run
// with SIGPIPE before it cleans up.
enum class Output { Full, Closed, PipeWithoutReader, PipeReadTenBytes };

struct OutputCase {
    std::string name;
    std::vector<std::string> arguments;
    Output output;
    std::string reason;
};

void PrintTo(const OutputCase& c, std::ostream* out)
{
    *out << c.name;
}

const OutputCase OutputCases[] = {
    {"report_to_a_full_device",
     {"--no-drive-c", Image},
     Output::Full,
     "quarnhold-run: cannot write the report to standard output: No space left on device (ENOSPC)\n"},
    {"help_to_a_full_device",
     {"--help"},
     Output::Full,
     "quarnhold-run: cannot write the report to standard output: No space left on device (ENOSPC)\n"},
    {"report_to_a_closed_output",
     {"--no-drive-c", Image},
     Output::Closed,
     "quarnhold-run: cannot write the report: standard output is closed\n"},
    {"report_to_a_pipe_without_reader",
     {Image},
     Output::PipeWithoutReader,
     "quarnhold-run: cannot write the report: standard output was closed by its reader (EPIPE)\n"},
    {"sweep_on_a_folder_to_a_pipe_read_ten_bytes",
     {"--sweep", "--sweep-on-folder", "--single-faults", Image},
     Output::PipeReadTenBytes,
     "quarnhold-run: cannot write the report: standard output was closed by its reader (EPIPE)\n"},
};

class QuarnholdRunOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(QuarnholdRunOutput, FailsWhenTheReportCannotBeWritten)
{
    ScratchFolder tmpdir;
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    int out = -1, reader = -1;
    if (GetParam().output == Output::Full) {
        out = open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else if (GetParam().output != Output::Closed) {
        int pipeEnds[2];
        ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
        reader = pipeEnds[0];
        out = pipeEnds[1];
        if (GetParam().output == Output::PipeWithoutReader) close(std::exchange(reader, -1));
    }
    std::vector<std::string> argv = GetParam().arguments;
    argv.insert(argv.begin(), QUARNHOLD_RUN_PATH);
    pid_t pid = StartCommand(argv, {"TMPDIR=" + tmpdir.path().string()}, out, err[1]);
    if (out >= 0) close(out);
    close(err[1]);
    if (reader >= 0) {
        // As head -c 10 does: ten bytes, then the reader goes.
        char first[10];
        size_t got = 0;
        for (ssize_t now; got < sizeof(first) && (now = read(reader, first + got, sizeof(first) - got)) > 0;) {
            got += static_cast<size_t>(now);
        }
        EXPECT_EQ(got, sizeof(first));
        close(reader);
    }
    std::string said;
    char buffer[1024];
    for (ssize_t got; (got = read(err[0], buffer, sizeof(buffer))) > 0;) said.append(buffer, static_cast<size_t>(got));
    close(err[0]);
    EXPECT_EQ(WaitCommand(pid), 1) << "-1: ended by a signal";
    EXPECT_EQ(said, GetParam().reason);
    EXPECT_EQ(ScratchFoldersIn(tmpdir.path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunOutput, ::testing::ValuesIn(OutputCases),
                         [](const ::testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

// What no image and no disk can make a run take, as docs/tool.md states it:
// a DbgPrint field 0x7FFFFFFF wide, a 40 GiB sparse test.txt to read back,
// a record that would grow without end. Each run works under an address
// space limit the emulator fits in and a CPU time limit that only a run gone
// wrong reaches (SIGXCPU, then SIGKILL), and its peak resident memory, the
// worker's included, is measured.
struct BoundCase {
    std::string name;
    std::string image;
    bool sparseTestFile;  // drive C holds a 40 GiB sparse Quarnhold/test.txt
    int exitCode;
    std::string said;  // a part of what the run wrote to standard error
};

void PrintTo(const BoundCase& c, std::ostream* out)
{
    *out << c.name;
}

// The bounds of docs/tool.md ("What a run can take of the host").
constexpr long MaxResidentKib = 256 * 1024;
constexpr const char* AddressSpaceLimit = "--as=2147483648";
constexpr const char* CpuTimeLimit = "--cpu=30";

const BoundCase BoundCases[] = {
    {"field_width_of_int_max", GuestDrivers + "/prints_a_wide_field.sys", false, 1,
     "the run broke 3 rules: run-sequence, contract-arguments, kernel-rules"},
    {"sparse_40_gib_test_file", Image, true, 0, ""},
    {"record_without_end", GuestDrivers + "/fills_the_record.sys", false, 1,
     "guest fault: the run's record (its "},
};

class QuarnholdRunBounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(QuarnholdRunBounds, HoldWhateverTheImageAndDisk)
{
    const BoundCase& c = GetParam();
    ScratchFolder driveC;
    if (c.sparseTestFile) {
        LayDown(driveC.path(), {Directory("Quarnhold"), File("Quarnhold/test.txt", "")});
        std::filesystem::resize_file(driveC.path() / "Quarnhold/test.txt", uint64_t{40} << 30);
    }
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = StartCommand({"prlimit", AddressSpaceLimit, CpuTimeLimit, "--", QUARNHOLD_RUN_PATH, "--drive-c",
                              driveC.path().string(), c.image},
                             {}, devNull, err[1]);
    close(devNull);
    close(err[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t got; (got = read(err[0], buffer, sizeof(buffer))) > 0;) said.append(buffer, static_cast<size_t>(got));
    close(err[0]);
    int status = 0;
    rusage used{};
    while (wait4(pid, &status, 0, &used) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << said;
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << said;
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_LT(used.ru_maxrss, MaxResidentKib);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunBounds, ::testing::ValuesIn(BoundCases),
                         [](const ::testing::TestParamInfo<BoundCase>& info) { return info.param.name; });

// Waits up to 60 s for `ready`, checking every 5 ms; false when it never came.
bool WaitFor(const std::function<bool()>& ready)
{
    for (int i = 0; i < 12000; ++i) {
        if (ready()) return true;
        usleep(5000);
    }
    return false;
}

// Interrupted during a sweep or a single run: every scratch folder goes,
// a progress line drawn on a terminal is ended, and the exit status says
// which signal came.
struct InterruptCase {
    std::string name;
    int signal;
    int exitCode;
    bool sweep;            // a sweep, with a progress bar on a terminal; otherwise a single run
    bool onFolder = true;  // a run or sweep on a scratch folder; otherwise a sweep in memory
};

void PrintTo(const InterruptCase& c, std::ostream* out)
{
    *out << c.name;
}

const InterruptCase InterruptCases[] = {
    {"sigint_during_a_sweep", SIGINT, 130, true},
    {"sigterm_during_a_sweep", SIGTERM, 143, true},
    {"sighup_during_a_sweep", SIGHUP, 129, true},
    {"sigint_during_a_run", SIGINT, 130, false},
    {"sigterm_during_a_run", SIGTERM, 143, false},
    {"sighup_during_a_run", SIGHUP, 129, false},
    {"sigint_during_a_sweep_in_memory", SIGINT, 130, true, false},
};

class QuarnholdRunInterrupted : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(QuarnholdRunInterrupted, LeavesNothingBehind)
{
    const InterruptCase& c = GetParam();
    ScratchFolder tmpdir;
    std::vector<std::string> environment{"TMPDIR=" + tmpdir.path().string()};
    std::string terminalOutput;
    int terminal = -1;          // the sweep's stderr: a pseudo-terminal, so the bar is drawn
    int blocked[2] = {-1, -1};  // the run's stdout: a pipe already full, so the run waits with its drive C
    pid_t pid;
    if (c.sweep) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(grantpt(terminal), 0);
        ASSERT_EQ(unlockpt(terminal), 0);
        int follower = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(follower, 0);
        int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        std::vector<std::string> argv{QUARNHOLD_RUN_PATH, "--sweep", Image};
        if (c.onFolder) argv.insert(argv.begin() + 2, "--sweep-on-folder");
        pid = StartCommand(argv, environment, devNull, follower);
        close(follower);
        close(devNull);
    } else {
        ASSERT_EQ(pipe2(blocked, O_CLOEXEC | O_NONBLOCK), 0);
        fcntl(blocked[1], F_SETPIPE_SZ, 4096);
        const std::string filler(4096, 'x');
        while (write(blocked[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(blocked[1], F_SETFL, 0);
        pid = StartCommand({QUARNHOLD_RUN_PATH, Image}, environment, blocked[1], -1);
        close(blocked[1]);
    }
    // Read the terminal as the bar is drawn, until the run holds a scratch
    // folder (and, on a terminal, has drawn).
    auto drain = [&] {
        if (terminal < 0) return;
        pollfd ready{terminal, POLLIN, 0};
        char buffer[4096];
        while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
            ssize_t got = read(terminal, buffer, sizeof(buffer));
            if (got <= 0) break;
            terminalOutput.append(buffer, static_cast<size_t>(got));
        }
    };
    bool started = WaitFor([&] {
        drain();
        return (!c.onFolder || !ScratchFoldersIn(tmpdir.path()).empty()) &&
               (terminal < 0 || terminalOutput.find(" runs") != std::string::npos);
    });
    EXPECT_TRUE(started) << "the run never made its scratch folder, or never drew its progress";
    kill(pid, c.signal);
    if (terminal >= 0) {
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof(buffer))) > 0;) {
            terminalOutput.append(buffer, static_cast<size_t>(got));
        }
        close(terminal);
    }
    EXPECT_EQ(WaitCommand(pid), c.exitCode);
    if (blocked[0] >= 0) close(blocked[0]);
    EXPECT_EQ(ScratchFoldersIn(tmpdir.path()), std::vector<std::string>{});
    if (c.sweep) {
        ASSERT_FALSE(terminalOutput.empty());
        EXPECT_EQ(terminalOutput.back(), '\n') << "the progress line was left open";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunInterrupted, ::testing::ValuesIn(InterruptCases),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) { return info.param.name; });

// A sweep on a folder of a host that cannot hold a 20-byte file: every run
// that needs one stops with a test-bed error, counted apart and named, and
// the sweep fails without blaming the driver.
TEST(QuarnholdRunSweep, CountsHostFailuresApart)
{
    CommandResult run = RunCommand(
        {"prlimit", "--fsize=10", "--", QUARNHOLD_RUN_PATH, "--sweep", "--sweep-on-folder", "--single-faults", Image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find(" of the sweep's runs stopped by a test-bed error, so the sweep proves nothing; the "
                           "first: test-bed error: cannot write to "),
              std::string::npos)
        << run.err;
    EXPECT_NE(
        run.out.find("STOPPED BY THE HOST from clean_drive_c on NTFS, no fault:\n  test-bed error: cannot write to "),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" more runs stopped by the host not shown)\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("FAILED from"), std::string::npos) << "a host failure was blamed on the driver";
    static const std::regex line(R"(, 0 rules broken, (\d+) runs stopped by a test-bed error \([0-9.]+ s\)\n$)");
    EXPECT_TRUE(std::regex_search(run.out, line)) << run.out;
}

// Every option that takes a value takes it after "=" as well; "--" ends the
// options; --version names the version.
struct AcceptedCase {
    std::string name;
    std::vector<std::string> arguments;
    std::string output;  // a part of standard output
};

void PrintTo(const AcceptedCase& c, std::ostream* out)
{
    *out << c.name;
}

const AcceptedCase AcceptedCases[] = {
    {"start_disk_after_equals", {"--start-disk=after_a_run", Image}, ", laid out as after_a_run\n"},
    {"fault_after_equals",
     {"--start-disk", "after_a_run", "--fault=ZwCreateFile#3=c0000043", Image},
     Printed(message::FileOpenFailed, 0xC0000043)},
    {"drive_c_after_equals", {"--drive-c=/nonexistent-drive", "--version"}, "quarnhold-run " QUARNHOLD_VERSION "\n"},
    {"image_after_the_end_of_options", {"--no-drive-c", "--", Image}, "drive C: none"},
    {"version", {"--version"}, "quarnhold-run " QUARNHOLD_VERSION "\n"},
    {"fault_status_by_name",
     {"--start-disk", "after_a_run", "--fault", "ZwCreateFile#3=STATUS_SHARING_VIOLATION", Image},
     Printed(message::FileOpenFailed, 0xC0000043)},
    {"fault_status_by_name_in_lower_case",
     {"--start-disk", "after_a_run", "--fault", "ZwWriteFile#1=status_disk_full", Image},
     Printed(message::FileWriteFailed, 0xC000007F)},
};

class QuarnholdRunAccepts : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(QuarnholdRunAccepts, TheOptionsAsGiven)
{
    CommandResult run = RunTool(GetParam().arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(GetParam().output), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunAccepts, ::testing::ValuesIn(AcceptedCases),
                         [](const ::testing::TestParamInfo<AcceptedCase>& info) { return info.param.name; });

// The JSON record lists the faults asked for and what became of each.
TEST(QuarnholdRun, JsonListsTheFaultsAskedFor)
{
    CommandResult run = RunTool({"--json", "--start-disk", "after_a_run", "--fault", "ZwCreateFile#1=info:5", "--fault",
                                 "ZwClose#7=0xC0000001", Image});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json record = nlohmann::json::parse(run.out);
    ASSERT_EQ(record["faults"].size(), 2u);
    EXPECT_EQ(record["faults"][0]["fault"], "ZwCreateFile#1=info:0x5");
    EXPECT_EQ(record["faults"][0]["routine"], "ZwCreateFile");
    EXPECT_EQ(record["faults"][0]["occurrence"], 1);
    EXPECT_TRUE(record["faults"][0]["status"].is_null());
    EXPECT_EQ(record["faults"][0]["information"], "0x5");
    EXPECT_EQ(record["faults"][0]["tookEffect"], true);
    EXPECT_TRUE(record["faults"][0]["why"].is_null());
    EXPECT_EQ(record["faults"][1]["status"], "0xC0000001");
    EXPECT_EQ(record["faults"][1]["tookEffect"], false);
    EXPECT_EQ(record["faults"][1]["why"], "there was no ZwClose #7: the driver made 2 ZwClose calls");

    CommandResult none = RunTool({"--json", "--no-drive-c", Image});
    EXPECT_EQ(nlohmann::json::parse(none.out)["faults"], nlohmann::json::array());
}

TEST(QuarnholdRun, TextListsTheFaultsAskedFor)
{
    CommandResult run = RunTool(
        {"--start-disk", "after_a_run", "--fault", "ZwCreateFile#1=info:5", "--fault", "ZwClose#7=0xC0000001", Image});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("faults asked for: 2, 1 took effect\n"
                           "  ZwCreateFile#1=info:0x5: took effect\n"
                           "  ZwClose#7=0xC0000001: never took effect: there was no ZwClose #7: the driver made 2 "
                           "ZwClose calls\n"),
              std::string::npos)
        << run.out;
}

// Bytes that would drive a terminal: a title, a colour, a screen clear, and
// a line that pretends to be the report's.
const std::string TerminalTricks = "\x1b]0;owned\x07\x1b[31m\x1b[2J\ndrive C changes: none\r";

bool HasRawControl(const std::string& text)
{
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    }
    return text.find("\xe2\x80\xae") != std::string::npos;
}

// What the disk holds and where it is reach the terminal escaped, never raw.
TEST(QuarnholdRun, EscapesControlCharactersFromTheDiskAndThePaths)
{
    ScratchFolder scratch;
    // A colour and a right-to-left override in drive C's own name.
    const std::filesystem::path driveC = scratch.path() / "drive\x1b[31m\xe2\x80\xae";
    std::filesystem::create_directory(driveC);
    // test.txt is longer than the 20 bytes the driver writes, so what
    // follows them stays and the report shows it.
    const auto runWith = [&](const std::string& tail) {
        Clear(driveC);
        LayDown(driveC, {Directory("Quarnhold"), File("Quarnhold/test.txt", std::string(20, 'x') + tail)});
        return RunTool({"--drive-c", driveC.string(), Image});
    };
    CommandResult tricked = runWith(TerminalTricks);
    ASSERT_EQ(tricked.exitCode, 0) << tricked.err;
    EXPECT_FALSE(HasRawControl(tricked.out)) << tricked.out;
    EXPECT_NE(tricked.out.find("drive\\x1B[31m\\u202E, NTFS\n"), std::string::npos) << tricked.out;
    EXPECT_NE(tricked.out.find("\\x1B]0;owned\\x07\\x1B[31m\\x1B[2J\\ndrive C changes: none\\r\" (GBK shown as UTF-8)"),
              std::string::npos)
        << tricked.out;
    // The report has the lines of a run on a plain file as long: no line
    // was forged.
    CommandResult plain = runWith(std::string(TerminalTricks.size(), 'y'));
    EXPECT_EQ(std::count(tricked.out.begin(), tricked.out.end(), '\n'),
              std::count(plain.out.begin(), plain.out.end(), '\n'));
}

struct EscapeCase {
    std::string name;
    std::string text;
    std::string shown;
};

void PrintTo(const EscapeCase& c, std::ostream* out)
{
    *out << c.name;
}

const EscapeCase EscapeCases[] = {
    {"plain", "plain text, 中文 and C:\\path", "plain text, 中文 and C:\\path"},
    {"nul_and_bell", std::string("nul\0bell\a", 9), "nul\\x00bell\\x07"},
    {"tab_line_return", "tab\tline\nreturn\r", "tab\\tline\\nreturn\\r"},
    {"escape_and_delete", "\x1b[2J\x7f", "\\x1B[2J\\x7F"},
    {"c1_controls", "C1 CSI \xc2\x9b and NEL \xc2\x85", "C1 CSI \\u009B and NEL \\u0085"},
    {"bidirectional_and_separators",
     "\xe2\x80\xae"
     "reversed\xe2\x81\xa6isolate\xe2\x80\xa8",
     "\\u202Ereversed\\u2066isolate\\u2028"},
    {"not_utf8", "not UTF-8: \xff\xc3(\xe2\x82", "not UTF-8: \\xFF\\xC3(\\xE2\\x82"},
    {"overlong", "overlong \xc0\xaf", "overlong \\xC0\\xAF"},
};

class EscapeControls : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControls, ShowsControlsAsEscapesAndTheRestAsItIs)
{
    EXPECT_EQ(tools::EscapeControls(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Table, EscapeControls, ::testing::ValuesIn(EscapeCases),
                         [](const ::testing::TestParamInfo<EscapeCase>& info) { return info.param.name; });

struct QuoteCase {
    std::string name;
    std::string word;
    std::string quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* out)
{
    *out << c.name;
}

const QuoteCase QuoteCases[] = {
    {"plain_path", "build/image/quarnhold.sys", "build/image/quarnhold.sys"},
    {"fault_option", "ZwWriteFile#1=0xC0000001", "ZwWriteFile#1=0xC0000001"},
    {"hash_first", "#comment", "'#comment'"},
    {"empty", "", "''"},
    {"space", "/tmp/with space/x.sys", "'/tmp/with space/x.sys'"},
    {"single_quote", "it's", "'it'\\''s'"},
    {"shell_specials", "$HOME`id`*?[a]{b};&|<>()!~", "'$HOME`id`*?[a]{b};&|<>()!~'"},
    {"chinese", "驱动.sys", "'驱动.sys'"},
    {"line_break", "line\nbreak", "$'line\\x0Abreak'"},
    {"escape_quote_backslash", "\x1b[31mred's\\", "$'\\x1B[31mred\\'s\\\\'"},
    {"right_to_left_override",
     "\xe2\x80\xae"
     "rlo",
     "$'\\xE2\\x80\\xAErlo'"},
};

class ShellQuote : public ::testing::TestWithParam<QuoteCase> {};

// Each word is quoted as the table says, and a real shell reads it back as
// the word it was.
TEST_P(ShellQuote, PastesBackIntoAShell)
{
    const std::string quoted = tools::ShellQuote(GetParam().word);
    EXPECT_EQ(quoted, GetParam().quoted);
    CommandResult echoed = RunCommand({"bash", "-c", "printf %s " + quoted});
    EXPECT_EQ(echoed.exitCode, 0) << echoed.err;
    EXPECT_EQ(echoed.out, GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(Table, ShellQuote, ::testing::ValuesIn(QuoteCases),
                         [](const ::testing::TestParamInfo<QuoteCase>& info) { return info.param.name; });

// An again: line for an image whose path a shell would split or expand
// repeats that very run when pasted into a shell.
TEST(QuarnholdRunSweep, AgainLinesPasteBackIntoAShell)
{
    ScratchFolder scratch;
    const std::filesystem::path folder = scratch.path() / "with space";
    std::filesystem::create_directory(folder);
    const std::filesystem::path image = folder / "it's $HOME.sys";
    std::filesystem::copy_file(GuestDrivers + "/skips_close_after_failed_write.sys", image);

    CommandResult sweep = RunTool({"--sweep", "--single-faults", image.string()});
    EXPECT_EQ(sweep.exitCode, 1);
    const std::string prefix = "  again: ";
    const size_t at = sweep.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << sweep.out;
    const std::string again = sweep.out.substr(at + prefix.size(), sweep.out.find('\n', at) - at - prefix.size());
    EXPECT_NE(again.find(" --trace '" + folder.string() + "/it'\\''s $HOME.sys'"), std::string::npos) << again;

    CommandResult repeated = RunCommand({"bash", "-c", again});
    EXPECT_EQ(repeated.exitCode, 1) << repeated.err;
    EXPECT_NE(repeated.out.find("image: " + image.string() + ","), std::string::npos) << repeated.out;
    EXPECT_NE(repeated.out.find("handles left open: 1"), std::string::npos) << repeated.out;
}

// The again: lines start quarnhold-run by the path it was started by, so
// that they run from where the sweep was run, whatever is on PATH.
TEST(QuarnholdRunSweep, AgainLinesNameTheToolAsItWasStarted)
{
    const std::filesystem::path tool(QUARNHOLD_RUN_PATH);
    const std::string folder = tools::ShellQuote(tool.parent_path().string());
    const std::string image = GuestDrivers + "/skips_close_after_failed_write.sys";
    CommandResult sweep =
        RunCommand({"bash", "-c",
                    "cd " + folder + " && ./" + tool.filename().string() +
                        " --sweep --single-faults --start-disk after_a_run " + tools::ShellQuote(image)});
    EXPECT_EQ(sweep.exitCode, 1) << sweep.err;
    const std::string prefix = "  again: ./" + tool.filename().string() + " --start-disk after_a_run ";
    const size_t at = sweep.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << sweep.out;
    const std::string again = sweep.out.substr(at + 9, sweep.out.find('\n', at) - at - 9);
    CommandResult repeated = RunCommand({"bash", "-c", "cd " + folder + " && " + again});
    EXPECT_EQ(repeated.exitCode, 1) << again << "\n" << repeated.err;
    EXPECT_NE(repeated.out.find("verdict: the run broke "), std::string::npos) << repeated.out;
}

// Under an address space limit too low for the emulator, the reason says
// what it needs, rather than Unicorn's bare "Could not allocate dynamic
// translator buffer".
TEST(QuarnholdRun, SaysHowMuchAddressSpaceTheEmulatorNeeds)
{
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--no-drive-c", Image}, std::vector<std::string>{"--sweep", Image}}) {
        std::vector<std::string> command{"/bin/sh", "-c", "ulimit -v 600000 && exec \"$0\" \"$@\"", QUARNHOLD_RUN_PATH};
        command.insert(command.end(), arguments.begin(), arguments.end());
        CommandResult run = RunCommand(command);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.err.rfind("quarnhold-run: the emulated CPU needs about 1.1 GB of address space", 0), 0u)
            << run.err;
        EXPECT_NE(run.err.find("ulimit -v"), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

// The ids of the rules a --json run record says were broken.
std::vector<std::string> BrokenRuleIds(const nlohmann::json& record)
{
    std::vector<std::string> ids;
    for (const nlohmann::json& broken : record["verdict"]["broken"]) ids.push_back(broken["id"]);
    return ids;
}

// A single run holds the rules the sweep holds each run to, and its report
// ends with the verdict: held, or the rules broken.
struct VerdictCase {
    std::string name;
    // The arguments before the image, given drive C's folder (empty, made
    // for the case).
    std::function<std::vector<std::string>(const std::filesystem::path& driveC)> arguments;
    std::string image;
    std::vector<std::string> broken;  // rule ids the run must break; none: it holds every rule
    std::string said = "";            // a part of the verdict's lines
};

void PrintTo(const VerdictCase& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<std::string> On(const std::filesystem::path& driveC)
{
    return {"--drive-c", driveC.string()};
}

const VerdictCase VerdictCases[] = {
    {"fresh_scratch_drive", [](const auto&) { return std::vector<std::string>{}; }, Image, {}},
    {"fresh_folder", On, Image, {}},
    {"no_drive_c", [](const auto&) { return std::vector<std::string>{"--no-drive-c"}; }, Image, {}},
    {"write_protected",
     [](const std::filesystem::path& c) {
         std::vector<std::string> a = On(c);
         a.push_back("--write-protected");
         return a;
     },
     Image,
     {}},
    // The disk rule reads the folder before the run: test.txt keeps the
    // bytes past the text, which is what the rule requires.
    {"own_folder_with_a_longer_test_file",
     [](const std::filesystem::path& c) {
         LayDown(c, {Directory("Quarnhold"), File("Quarnhold/test.txt", std::string(40, 'x'))});
         return On(c);
     },
     Image,
     {}},
    {"fault_on_the_write",
     [](const auto&) {
         return std::vector<std::string>{"--fault", "ZwWriteFile#1=STATUS_DISK_FULL"};
     },
     Image,
     {}},
    {"fault_never_taken",
     [](const auto&) {
         return std::vector<std::string>{"--fault", "ZwClose#4=0xC0000001"};
     },
     Image,
     {"faults-took-effect"}},
    // The first create makes the work directory: FILE_CREATED (2) anyway.
    {"information_the_create_reports_anyway",
     [](const auto&) {
         return std::vector<std::string>{"--fault", "ZwCreateFile#1=info:2"};
     },
     Image,
     {"faults-took-effect"},
     "ZwCreateFile #1 reported Information 0x2 itself, so the same value changed nothing"},
    {"leaks_a_handle",
     On,
     GuestDrivers + "/leaks_handle.sys",
     {"failure-status", "handles-closed"},
     "  every handle closed exactly once: handle 0x80000004 to \\ was left open\n"},
    {"writes_the_driver_object", On, GuestDrivers + "/writes_driver_object.sys", {"loader-data-untouched"}},
    {"skips_a_close",
     [](const auto&) {
         return std::vector<std::string>{"--start-disk", "test_file_is_a_directory"};
     },
     GuestDrivers + "/skips_close_after_failed_write.sys",
     {"run-sequence", "handles-closed"}},
    {"closed_twice", On, GuestDrivers + "/closes_handle_twice.sys", {"kernel-rules"}},
    {"kernel_rule",
     On,
     GuestDrivers + "/opens_a_user_handle.sys",
     {"kernel-rules"},
     "  no kernel rule broken: ZwCreateFile without OBJ_KERNEL_HANDLE"},
};

class QuarnholdRunVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(QuarnholdRunVerdict, HoldsTheSweepsRules)
{
    const VerdictCase& c = GetParam();
    const bool holds = c.broken.empty();
    for (const bool json : {false, true}) {
        ScratchFolder driveC;
        std::vector<std::string> arguments = c.arguments(driveC.path());
        if (json) arguments.push_back("--json");
        arguments.push_back(c.image);
        CommandResult run = RunTool(arguments);
        EXPECT_EQ(run.exitCode, holds ? 0 : 1) << run.err;
        if (!json) {
            const std::string verdict = holds ? "\nverdict: the run held every rule\n" : "\nverdict: the run broke ";
            EXPECT_NE(run.out.find(verdict), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(c.said, run.out.find(verdict)), std::string::npos) << run.out;
            continue;
        }
        const nlohmann::json record = nlohmann::json::parse(run.out);
        EXPECT_EQ(record["schema"], 1);
        EXPECT_EQ(record["verdict"]["held"], holds);
        const std::vector<std::string> ids = BrokenRuleIds(record);
        for (const std::string& id : c.broken) {
            EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id << " not in " << run.out;
        }
        if (!holds && !record["fault"].is_object()) {
            // The one line names the rules the record lists.
            EXPECT_NE(run.err.find(ids.back()), std::string::npos) << run.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunVerdict, ::testing::ValuesIn(VerdictCases),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

// The real image holds every rule from every starting disk, on every file
// system the disk can be on, and on a second start on the disk the first
// start left.
TEST(QuarnholdRunVerdict, TheRealImageHoldsEveryRuleFromEveryDisk)
{
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        for (testbed::FileSystem fileSystem : fault_sweep::FileSystemsOf(disk)) {
            CommandResult run = RunTool({"--start-disk", disk.name, "--file-system",
                                         std::string(testbed::FileSystemOption(fileSystem)), Image});
            EXPECT_EQ(run.exitCode, 0) << disk.name << " on " << testbed::FileSystemName(fileSystem) << ": " << run.err;
            EXPECT_NE(run.out.find("verdict: the run held every rule\n"), std::string::npos) << run.out;
        }
    }
    ScratchFolder driveC;
    for (int start = 1; start <= 2; ++start) {
        CommandResult run = RunTool({"--drive-c", driveC.path().string(), "--file-system", "fat", Image});
        EXPECT_EQ(run.exitCode, 0) << "start " << start << ": " << run.err;
    }
}

// A second close is STATUS_INVALID_HANDLE and the run goes on, as on NT: the
// record has no bug check, and the kernel rule the close broke.
TEST(QuarnholdRun, JsonGivesASecondCloseAsABrokenRuleNotABugCheck)
{
    CommandResult run = RunTool({"--json", GuestDrivers + "/closes_handle_twice.sys"});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json record = nlohmann::json::parse(run.out);
    EXPECT_TRUE(record["bugCheck"].is_null());
    EXPECT_NE(record.dump().find("ZwClose of handle 0x80000004, which is already closed: closed twice"),
              std::string::npos)
        << record.dump(2);
}

// With --json, a run that cannot be made still leaves one JSON record on
// standard output, the error in it, and exits as documented.
struct JsonErrorCase {
    std::string name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string kind;  // empty: no record, as --json was not asked for
    std::vector<std::string> environment = {};
};

void PrintTo(const JsonErrorCase& c, std::ostream* out)
{
    *out << c.name;
}

const JsonErrorCase JsonErrorCases[] = {
    {"unknown_option", {"--json", "--fast", Image}, 2, "bad-arguments"},
    {"no_such_image", {"--json", "/nonexistent/quarnhold.sys"}, 2, "bad-arguments"},
    {"image_that_cannot_load", {"--json", SpoiledImage("checksum", SIZE_MAX, true)}, 1, "cannot-load"},
    {"sweep_of_an_image_that_cannot_load",
     {"--sweep", "--json", SpoiledImage("checksum", SIZE_MAX, true)},
     1,
     "cannot-load"},
    {"no_scratch_folder_possible", {"--json", Image}, 1, "test-bed-error", {"TMPDIR=/nonexistent/tmp"}},
    {"filter_that_matches_no_run",
     {"--json", "--sweep", "--single-faults", "--fault-call", "ZwWriteFile#9", Image},
     2,
     "bad-arguments"},
    {"json_after_the_end_of_options", {"--", "--json"}, 2, ""},
};

class QuarnholdRunJsonError : public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(QuarnholdRunJsonError, IsARecordOnStandardOutput)
{
    const JsonErrorCase& c = GetParam();
    CommandResult run = RunTool(c.arguments, c.environment);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    const std::string line = run.err.substr(0, run.err.find('\n'));
    ASSERT_EQ(line.rfind("quarnhold-run: ", 0), 0u) << run.err;
    if (c.kind.empty()) {
        EXPECT_EQ(run.out, "");
        return;
    }
    const nlohmann::json record = nlohmann::json::parse(run.out);
    EXPECT_EQ(record["schema"], 1);
    EXPECT_EQ(record["error"]["kind"], c.kind);
    EXPECT_EQ(record["error"]["exitStatus"], c.exitCode);
    EXPECT_EQ(record["error"]["message"], line.substr(15));
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunJsonError, ::testing::ValuesIn(JsonErrorCases),
                         [](const ::testing::TestParamInfo<JsonErrorCase>& info) { return info.param.name; });

// The sweep's JSON carries every failed run unless told otherwise, and says
// when it does not; rules by id; groups that count every failed run. The
// text lists failed runs one by one only when asked.
TEST(QuarnholdRunSweep, JsonCarriesEveryFailedRunUnlessCut)
{
    const std::string image = GuestDrivers + "/skips_close_after_failed_write.sys";
    // Two disks are enough for many failed runs of several kinds.
    const auto sweep = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--sweep", "--single-faults", "--start-disk", "clean_drive_c",
                                             "--start-disk", "write_protected_after_a_run"});
        arguments.push_back(image);
        return RunTool(arguments);
    };
    CommandResult whole = sweep({"--json"});
    EXPECT_EQ(whole.exitCode, 1);
    const nlohmann::json record = nlohmann::json::parse(whole.out);
    EXPECT_EQ(record["schema"], 1);
    EXPECT_EQ(record["filter"]["startDisks"], nlohmann::json::array({"clean_drive_c", "write_protected_after_a_run"}));
    const uint64_t failed = record["failedRuns"];
    EXPECT_EQ(failed, record["runs"].get<uint64_t>() - record["runsHeld"].get<uint64_t>());
    EXPECT_EQ(record["failures"].size(), failed);
    EXPECT_EQ(record["failuresCut"], false);
    EXPECT_EQ(record["failuresLeftOut"], 0);
    uint64_t grouped = 0;
    for (const nlohmann::json& group : record["groups"]) grouped += group["runs"].get<uint64_t>();
    EXPECT_EQ(grouped, failed);
    const nlohmann::json& first = record["failures"][0];
    EXPECT_EQ(first["injected"][0]["routine"], "ZwWriteFile");
    EXPECT_EQ(first["injected"][0]["kind"], "error");
    std::vector<std::string> ids;
    for (const nlohmann::json& broken : first["broken"]) ids.push_back(broken["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"run-sequence", "handles-closed"}));
    EXPECT_EQ(record["groups"][0]["rules"][1]["id"], "handles-closed");

    CommandResult cut = sweep({"--json", "--max-failures", "3"});
    const nlohmann::json cutRecord = nlohmann::json::parse(cut.out);
    EXPECT_EQ(cutRecord["failures"].size(), 3u);
    EXPECT_EQ(cutRecord["failuresCut"], true);
    EXPECT_EQ(cutRecord["failuresLeftOut"], failed - 3);
    EXPECT_EQ(cutRecord["failures"][2], record["failures"][2]);

    CommandResult text = sweep({"--max-failures=2"});
    EXPECT_NE(text.out.find("failed runs one by one (the first 2 of " + std::to_string(failed) + "):\nFAILED from "),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("(" + std::to_string(failed - 2) + " more failed runs not shown; --max-failures all"),
              std::string::npos)
        << text.out;
    const std::string all = sweep({"--max-failures", "all"}).out;
    size_t listed = 0;
    for (size_t at = all.find("\nFAILED from "); at != std::string::npos; at = all.find("\nFAILED from ", at + 1)) {
        ++listed;
    }
    EXPECT_EQ(listed, failed);
}

// A narrowed sweep checks exactly the runs of the whole sweep's plan that
// its filter picks, --list-runs lists them as the options that make each
// alone, and the summary says the sweep was filtered.
TEST(QuarnholdRunSweep, NarrowsToTheRunsAskedFor)
{
    const std::vector<std::string> filter{"--start-disk", "clean_drive_c", "--fault-call", "ZwWriteFile"};
    std::vector<std::string> arguments{"--sweep"};
    arguments.insert(arguments.end(), filter.begin(), filter.end());
    arguments.push_back(Image);
    CommandResult swept = RunTool(arguments);
    ASSERT_EQ(swept.exitCode, 0) << swept.err;
    static const std::regex summary(
        R"(\nfiltered fault sweep \(--start-disk clean_drive_c --fault-call ZwWriteFile\): (\d+) runs from 1 starting )"
        R"(disk on NTFS and 1 on FAT, \d+ faults injected, (\d+) runs held every rule, 0 rules broken)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(swept.out, match, summary)) << swept.out;
    const uint64_t runs = std::stoull(match[1]);
    EXPECT_EQ(std::stoull(match[2]), runs);

    arguments.insert(arguments.begin() + 1, "--list-runs");
    CommandResult listed = RunTool(arguments);
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<std::string> narrowed;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) narrowed.push_back(line);
    EXPECT_EQ(narrowed.size(), runs);

    // The whole sweep's plan, picked by hand.
    CommandResult everything = RunTool({"--sweep", "--list-runs", Image});
    ASSERT_EQ(everything.exitCode, 0) << everything.err;
    std::vector<std::string> picked;
    std::istringstream all(everything.out);
    for (std::string line; std::getline(all, line);) {
        if (line.rfind("--start-disk clean_drive_c ", 0) == 0 &&
            line.find(" --fault ZwWriteFile#") != std::string::npos) {
            picked.push_back(line);
        }
    }
    EXPECT_EQ(narrowed, picked);
    EXPECT_GT(picked.size(), 10u);

    // A listed run, made alone, is that run.
    std::vector<std::string> alone{
        "bash", "-c", tools::ShellQuote(QUARNHOLD_RUN_PATH) + " " + narrowed.back() + " " + tools::ShellQuote(Image)};
    CommandResult made = RunCommand(alone);
    EXPECT_EQ(made.exitCode, 0) << narrowed.back() << "\n" << made.err;
    EXPECT_NE(made.out.find("took effect\n"), std::string::npos) << made.out;

    // By status on one file system, in JSON.
    CommandResult byStatus = RunTool({"--sweep", "--single-faults", "--list-runs", "--json", "--file-system", "fat",
                                      "--fault-status", "STATUS_DISK_FULL", Image});
    ASSERT_EQ(byStatus.exitCode, 0) << byStatus.err;
    const nlohmann::json plan = nlohmann::json::parse(byStatus.out);
    EXPECT_EQ(plan["filter"]["fileSystem"], "fat");
    EXPECT_EQ(plan["filter"]["faultStatuses"], nlohmann::json::array({"0xC000007F"}));
    EXPECT_EQ(plan["plannedRuns"], plan["planned"].size());
    EXPECT_GT(plan["planned"].size(), 21u);
    for (const nlohmann::json& run : plan["planned"]) {
        EXPECT_EQ(run["fileSystem"], "fat");
        ASSERT_EQ(run["injected"].size(), 1u);
        EXPECT_EQ(run["injected"][0]["status"], "0xC000007F");
        EXPECT_EQ(run["injected"][0]["statusName"], "STATUS_DISK_FULL");
    }
}

}  // namespace
}  // namespace quarnhold::tests
