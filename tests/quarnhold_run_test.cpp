// quarnhold_run_test.cpp
//
// quarnhold-run as a person runs it: what it prints, the exit status, and a
// one-line reason for every way a run can be refused or fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>

#include "testbed/text_encoding.h"
#include "tests/support/command.h"
#include "tests/support/disk_state.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"
#include "tools/display_text.h"
#include "tools/progress_bar.h"

namespace quarnhold::tests {
namespace {

const std::string Image = BuiltImage().string();
const std::string GuestDrivers = QUARNHOLD_GUEST_DRIVER_DIR;

CommandResult RunTool(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), QUARNHOLD_RUN_PATH);
    return RunCommand(arguments);
}

// The messages of a first run on an empty drive, as printed.
std::vector<std::string> TypicalTranscript()
{
    return {Printed(message::DriverEntry),   Printed(message::CreatingDirectory), Printed(message::DirectoryCreated),
            Printed(message::CreatingFile),  Printed(message::FileCreated),       Printed(message::OpeningFile),
            Printed(message::FileOpened),    Printed(message::FileWritten),       Printed(message::DriverExit)};
}

TEST(QuarnholdRun, ShowsWhatTheKernelSaw)
{
    CommandResult run = RunTool({Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::string lines;
    for (const std::string& text : TypicalTranscript()) lines += text + "\n";
    EXPECT_NE(run.out.find(lines), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("DriverEntry returned 0xC0000182 STATUS_DEVICE_CONFIGURATION_ERROR"), std::string::npos);
    EXPECT_NE(run.out.find("handles left open: 0 (3 opened, 3 closed)"), std::string::npos);
    EXPECT_NE(run.out.find("created directory Quarnhold"), std::string::npos);
    EXPECT_NE(run.out.find("Quarnhold\\test.txt is now 20 bytes: \"这里就是文件的内容了\""), std::string::npos);

    // The scratch drive C is named, and holds what the run made.
    const std::string prefix = "drive C: ";
    ASSERT_EQ(run.out.rfind(prefix, 0), 0u);
    std::filesystem::path scratch = run.out.substr(prefix.size(), run.out.find(" (fresh scratch folder)") - prefix.size());
    EXPECT_EQ(ReadDisk(scratch), (std::vector<DiskItem>{Directory("Quarnhold"),
                                                         File("Quarnhold/test.txt", std::string(TestFileContent))}));
    std::filesystem::remove_all(scratch);
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

// The sweep's last line, as numbers.
struct SweepFigures {
    uint64_t runs = 0, faults = 0, held = 0, broken = 0;
};

std::optional<SweepFigures> SummaryFigures(const std::string& out)
{
    static const std::regex line(
        R"(fault sweep: (\d+) runs, (\d+) faults injected, (\d+) runs held every rule, (\d+) rules broken \([0-9.]+ s\)\n$)");
    std::smatch match;
    if (!std::regex_search(out, match, line)) return std::nullopt;
    return SweepFigures{std::stoull(match[1]), std::stoull(match[2]), std::stoull(match[3]), std::stoull(match[4])};
}

TEST(QuarnholdRunSweep, EndsWithItsSummaryLine)
{
    CommandResult run = RunTool({"--sweep", "--single-faults", Image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // No terminal here, so no progress bar either.
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("from 19 starting disks"), std::string::npos) << run.out;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    EXPECT_GT(figures->runs, 19u);
    EXPECT_EQ(figures->held, figures->runs);
    EXPECT_EQ(figures->broken, 0u);
    // One fault per run, bar the 19 runs without one.
    EXPECT_EQ(figures->faults, figures->runs - 19);

    CommandResult json = RunTool({"--sweep", "--single-faults", "--json", Image});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json record = nlohmann::json::parse(json.out);
    EXPECT_EQ(record["runs"], figures->runs);
    EXPECT_EQ(record["faultsInjected"], figures->faults);
    EXPECT_EQ(record["runsHeld"], figures->runs);
    EXPECT_EQ(record["rulesBroken"], 0);
    EXPECT_TRUE(record["failures"].empty());
}

// A driver with a bug on the failed-write path: the sweep names each failed
// run with its disk, its fault and the rules it broke, and the command that
// repeats it alone shows the leak.
TEST(QuarnholdRunSweep, NamesEachFailedRunAndHowToRepeatIt)
{
    const std::string image = GuestDrivers + "/skips_close_after_failed_write.sys";
    CommandResult run = RunTool({"--sweep", "--single-faults", image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.out.find("FAILED from clean_drive_c, ZwWriteFile #1 returns 0xC0000001 STATUS_UNSUCCESSFUL:\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  every handle closed exactly once: handle 0x8000000C to Quarnhold\\test.txt was left open"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("more failed runs not shown"), std::string::npos) << run.out;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    EXPECT_LT(figures->held, figures->runs);

    const std::string again = "  again: quarnhold-run --start-disk clean_drive_c --fault ZwWriteFile#1=0xC0000001 "
                              "--trace " + image + "\n";
    ASSERT_NE(run.out.find(again), std::string::npos) << run.out;
    CommandResult repeated =
        RunTool({"--start-disk", "clean_drive_c", "--fault", "ZwWriteFile#1=0xC0000001", "--trace", image});
    EXPECT_EQ(repeated.exitCode, 0) << repeated.err;
    EXPECT_NE(repeated.out.find(Printed(message::FileWriteFailed, 0xC0000001)), std::string::npos) << repeated.out;
    EXPECT_NE(repeated.out.find("handles left open: 1 (3 opened, 2 closed)"), std::string::npos) << repeated.out;
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
     R"(\(at 0x80A01000\); last kernel call: none)"},
    {"abort_after_a_kernel_call",
     {"--start-disk", "clean_drive_c", "--fault", "ZwWriteFile#1=0xC0000001",
      GuestDrivers + "/aborts_after_failed_write.sys"},
     R"(\(at 0x[0-9A-F]{8}\); last kernel call: DbgPrint, called from 0x80A0[0-9A-F]{4})"},
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
    EXPECT_NE(run.out.find("FAILED from clean_drive_c, ZwWriteFile #1 returns 0xC0000001 STATUS_UNSUCCESSFUL:\n"
                           "  DriverEntry returned to the loader: the emulator died of SIGABRT"),
              std::string::npos)
        << run.out;
    const std::string again =
        "  again: quarnhold-run --start-disk clean_drive_c --fault ZwWriteFile#1=0xC0000001 "
        "--trace " +
        image + "\n";
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
    for (const std::string& text :
         {Printed(message::CreatingDirectory), Printed(message::CreatingFile),
          Printed(message::FileCreateFailed, 0xC0000035), Printed(message::OpeningFile),
          Printed(message::FileOpenFailed, 0xC0000043), Printed(message::DriverExit)}) {
        lines += text + "\n";
    }
    EXPECT_NE(run.out.find(lines), std::string::npos) << run.out;

    CommandResult list = RunTool({"--start-disk", "list"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out.rfind("clean_drive_c\nafter_a_run\n", 0), 0u) << list.out;
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
    EXPECT_EQ(terminal.str(), "\r\x1b[Kplanning: 3 runs\r\x1b[K[" + std::string(40, '#') +
                                  "] 100%  16/16 runs\r\x1b[K");
}

struct RefusalCase {
    std::string name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string reason;  // a part of the one line on standard error
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

// Copies of the image spoiled one way each, made once.
std::string SpoiledImage(const std::string& name, size_t keep, bool flipChecksum)
{
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("quarnhold-run-test-" + name + ".sys");
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
     "last kernel call: ZwCreateFile, called from 0x"},
    {"kernel_rule_broken",
     {GuestDrivers + "/closes_handle_twice.sys"},
     1,
     "the driver broke 1 kernel rule: ZwClose of handle 0x80000004, which is already closed"},
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
    {"sweep_of_no_image", {"--sweep", "/nonexistent/quarnhold.sys"}, 2, "no such image"},
    {"sweep_of_a_spoiled_image", {"--sweep", SpoiledImage("checksum", SIZE_MAX, true)}, 1, "checksum"},
    // A faulted call does nothing: with status 0 it would report a success
    // it never made, and the driver would be blamed for what followed.
    {"fault_with_status_zero",
     {"--fault", "ZwCreateFile#1=0", Image},
     2,
     "--fault: ZwCreateFile#1=0 would make the call do nothing and report success"},
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
     "1 fault never took effect: ZwWriteFile#2=0xC0000001 (there was no ZwWriteFile #2: the driver made 1 ZwWriteFile "
     "call)"},
    {"information_for_a_failed_create",
     {"--no-drive-c", "--fault", "ZwCreateFile#1=info:5", Image},
     1,
     "1 fault never took effect: ZwCreateFile#1=info:0x5 (ZwCreateFile #1 failed with 0xC000003A "
     "STATUS_OBJECT_PATH_NOT_FOUND, so it reported no Information to replace)"},
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
};

class QuarnholdRunRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(QuarnholdRunRefusal, ExitsWithOneLineReason)
{
    CommandResult run = RunTool(GetParam().arguments);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err;
    ASSERT_EQ(run.err.rfind("quarnhold-run: ", 0) == 0 || run.err.find("\nquarnhold-run: ") != std::string::npos,
              true)
        << run.err;
    size_t line = run.err.rfind("quarnhold-run: ");
    std::string reason = run.err.substr(line, run.err.find('\n', line) - line);
    EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarnholdRunRefusal, ::testing::ValuesIn(RefusalCases),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

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
    {"drive_c_after_equals", {"--drive-c=/nonexistent-drive", "--version"}, "quarnhold-run 1.0.0\n"},
    {"image_after_the_end_of_options", {"--no-drive-c", "--", Image}, "drive C: none"},
    {"version", {"--version"}, "quarnhold-run 1.0.0\n"},
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
    EXPECT_NE(tricked.out.find("drive\\x1B[31m\\u202E\n"), std::string::npos) << tricked.out;
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
    std::string text;
    std::string shown;
};

void PrintTo(const EscapeCase& c, std::ostream* out)
{
    *out << c.shown;
}

const EscapeCase EscapeCases[] = {
    {"plain text, 中文 and C:\\path", "plain text, 中文 and C:\\path"},
    {std::string("nul\0bell\a", 9), "nul\\x00bell\\x07"},
    {"tab\tline\nreturn\r", "tab\\tline\\nreturn\\r"},
    {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
    {"C1 CSI \xc2\x9b and NEL \xc2\x85", "C1 CSI \\u009B and NEL \\u0085"},
    {"\xe2\x80\xae"
     "reversed\xe2\x81\xa6isolate\xe2\x80\xa8",
     "\\u202Ereversed\\u2066isolate\\u2028"},
    {"not UTF-8: \xff\xc3(\xe2\x82", "not UTF-8: \\xFF\\xC3(\\xE2\\x82"},
    {"overlong \xc0\xaf", "overlong \\xC0\\xAF"},
};

class EscapeControls : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControls, ShowsControlsAsEscapesAndTheRestAsItIs)
{
    EXPECT_EQ(tools::EscapeControls(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Table, EscapeControls, ::testing::ValuesIn(EscapeCases));

struct QuoteCase {
    std::string word;
    std::string quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* out)
{
    *out << c.quoted;
}

const QuoteCase QuoteCases[] = {
    {"build/image/quarnhold.sys", "build/image/quarnhold.sys"},
    {"ZwWriteFile#1=0xC0000001", "ZwWriteFile#1=0xC0000001"},
    {"#comment", "'#comment'"},
    {"", "''"},
    {"/tmp/with space/x.sys", "'/tmp/with space/x.sys'"},
    {"it's", "'it'\\''s'"},
    {"$HOME`id`*?[a]{b};&|<>()!~", "'$HOME`id`*?[a]{b};&|<>()!~'"},
    {"驱动.sys", "'驱动.sys'"},
    {"line\nbreak", "$'line\\x0Abreak'"},
    {"\x1b[31mred's\\", "$'\\x1B[31mred\\'s\\\\'"},
    {"\xe2\x80\xae"
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

INSTANTIATE_TEST_SUITE_P(Table, ShellQuote, ::testing::ValuesIn(QuoteCases));

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
    const std::string prefix = "  again: quarnhold-run ";
    const size_t at = sweep.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << sweep.out;
    const std::string again = sweep.out.substr(at + prefix.size(), sweep.out.find('\n', at) - at - prefix.size());
    EXPECT_NE(again.find(" --trace '" + folder.string() + "/it'\\''s $HOME.sys'"), std::string::npos) << again;

    CommandResult repeated = RunCommand({"bash", "-c", std::string(QUARNHOLD_RUN_PATH) + " " + again});
    EXPECT_EQ(repeated.exitCode, 0) << repeated.err;
    EXPECT_NE(repeated.out.find("image: " + image.string() + ","), std::string::npos) << repeated.out;
    EXPECT_NE(repeated.out.find("handles left open: 1"), std::string::npos) << repeated.out;
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

}  // namespace
}  // namespace quarnhold::tests
