// quarnhold_run_test.cpp
//
// quarnhold-run as a person runs it: what it prints, the exit status, and a
// one-line reason for every way a run can be refused or fail.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <nlohmann/json.hpp>

#include "testbed/text_encoding.h"
#include "tools/progress_bar.h"
#include "tests/support/command.h"
#include "tests/support/disk_state.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"

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
    EXPECT_NE(run.out.find("from 22 starting disks, each on NTFS and on FAT where it can be"), std::string::npos)
        << run.out;
    std::optional<SweepFigures> figures = SummaryFigures(run.out);
    ASSERT_TRUE(figures) << run.out;
    // Every disk on both file systems, but the one with a symbolic link.
    EXPECT_EQ(figures->disksOnNtfs, 22u);
    EXPECT_EQ(figures->disksOnFat, 21u);
    EXPECT_GT(figures->runs, 43u);
    EXPECT_EQ(figures->held, figures->runs);
    EXPECT_EQ(figures->broken, 0u);
    // One fault per run, bar the 43 runs without one.
    EXPECT_EQ(figures->faults, figures->runs - 43);

    CommandResult json = RunTool({"--sweep", "--single-faults", "--json", Image});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json record = nlohmann::json::parse(json.out);
    EXPECT_EQ(record["runs"], figures->runs);
    EXPECT_EQ(record["disksOnNtfs"], 22);
    EXPECT_EQ(record["disksOnFat"], 21);
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
    EXPECT_NE(
        run.out.find("FAILED from clean_drive_c on NTFS, ZwWriteFile #1 returns 0xC0000001 STATUS_UNSUCCESSFUL:\n"),
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
    for (const char* disk : {"test_file_delete_pending\n", "test_file_locked_by_another_handle\n",
                             "work_directory_held_without_sharing\n"}) {
        EXPECT_NE(list.out.find(disk), std::string::npos) << list.out;
    }
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
    {"guest_fault_names_the_last_call", {GuestDrivers + "/bad_object_attributes.sys"}, 1,
     "last kernel call: ZwCreateFile, called from 0x"},
    {"kernel_rule_broken", {GuestDrivers + "/opens_a_user_handle.sys"}, 1,
     "the driver broke 1 kernel rule: ZwCreateFile without OBJ_KERNEL_HANDLE"},
    {"bug_check", {GuestDrivers + "/closes_handle_twice.sys"}, 1,
     "bug check 0x00000093 INVALID_KERNEL_HANDLE (0x80000004, 0x00000001, 0x00000000, 0x00000000): "
     "ZwClose(0x80000004) of a handle that is not open"},
    {"unknown_file_system", {"--file-system", "hpfs", Image}, 2, "--file-system takes ntfs or fat, not hpfs"},
    {"file_system_without_drive_c", {"--no-drive-c", "--file-system", "fat", Image}, 2,
     "--no-drive-c leaves no drive C to format"},
    {"link_on_fat", {"--start-disk", "work_directory_is_a_link", "--file-system", "fat", Image}, 2,
     "only NTFS can hold"},
    {"sweep_on_one_file_system", {"--sweep", "--file-system", "fat", Image}, 2, "--sweep makes its own drives C"},
    {"pending_status", {"--fault", "ZwCreateFile#1=103", Image}, 2,
     "STATUS_PENDING never comes back from a call on a synchronous handle"},
    {"unknown_start_disk", {"--start-disk", "floppy", Image}, 2, "no starting disk named floppy"},
    {"start_disk_and_drive", {"--start-disk", "after_a_run", "--no-drive-c", Image}, 2,
     "--start-disk lays down its own drive C"},
    {"fault_without_a_number", {"--fault", "ZwClose=0xC0000008", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_on_the_zeroth_call", {"--fault", "ZwClose#0=0xC0000008", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_with_a_bad_status", {"--fault", "ZwClose#1=0xG", Image}, 2, "--fault wants ROUTINE#N=STATUS"},
    {"fault_on_dbgprint", {"--fault", "DbgPrint#1=1", Image}, 2, "DbgPrint is not ZwCreateFile, ZwWriteFile or ZwClose"},
    {"information_on_a_write", {"--fault", "ZwWriteFile#1=info:3", Image}, 2, "only ZwCreateFile takes info:"},
    {"sweep_with_a_fault", {"--sweep", "--fault", "ZwClose#1=1", Image}, 2, "--sweep makes its own drives C"},
    {"sweep_with_a_drive", {"--sweep", "--drive-c", "/tmp", Image}, 2, "--sweep makes its own drives C"},
    {"single_faults_without_sweep", {"--single-faults", Image}, 2, "--single-faults needs --sweep"},
    {"sweep_of_no_image", {"--sweep", "/nonexistent/quarnhold.sys"}, 2, "no such image"},
    {"sweep_of_a_spoiled_image", {"--sweep", SpoiledImage("checksum", SIZE_MAX, true)}, 1, "checksum"},
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

}  // namespace
}  // namespace quarnhold::tests
