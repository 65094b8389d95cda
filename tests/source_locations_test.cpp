// source_locations_test.cpp
//
// Where quarnhold-run says a kernel call or a guest fault came from: the
// image's name and the RVA always, and the source line from the PDB beside
// the image, checked against the source itself. Without a PDB that belongs
// to the image, or without a working llvm-symbolizer, the run still
// completes and says why there are no lines. The helper programs that read
// the PDB are held to a time limit and a cap on their output.

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/command.h"
#include "tests/support/disk_state.h"
#include "tests/support/run_outcome.h"
#include "tools/helper_process.h"

namespace quarnhold::tests {
namespace {

using tools::HelperLimits;
using tools::HelperRun;

const std::filesystem::path SourceDir = QUARNHOLD_SOURCE_DIR;
const std::filesystem::path GuestDriverDir = QUARNHOLD_GUEST_DRIVER_DIR;

CommandResult RunTool(std::vector<std::string> arguments, const std::vector<std::string>& environment = {})
{
    arguments.insert(arguments.begin(), QUARNHOLD_RUN_PATH);
    return RunCommand(arguments, environment);
}

// Line `number` (from 1) of a source file in the checkout, or "" past its end.
std::string SourceLine(const std::string& file, unsigned number)
{
    std::ifstream in(SourceDir / file);
    std::string line;
    for (unsigned i = 0; i < number && std::getline(in, line); ++i) {
    }
    return in ? line : "";
}

// --- The helper programs -------------------------------------------------

struct HelperCase {
    std::string name;
    std::string script;  // for /bin/sh -c
    std::string input;
    HelperLimits limits;
    HelperRun::End end;
    std::function<void(const HelperRun&)> check = [](const HelperRun&) {};
};

void PrintTo(const HelperCase& c, std::ostream* out)
{
    *out << c.name;
}

const HelperLimits Short{std::chrono::milliseconds(300), 4096};

const HelperCase HelperCases[] = {
    {"answers_from_its_input", "cat", "0x10B0\n0x10C4\n", {}, HelperRun::End::Exited,
     [](const HelperRun& run) {
         EXPECT_EQ(run.code, 0);
         EXPECT_EQ(run.out, "0x10B0\n0x10C4\n");
     }},
    // The rest of the input goes nowhere, and must not end this process
    // with SIGPIPE.
    {"stops_reading_early", "head -c 3", std::string(1 << 20, 'x'), {}, HelperRun::End::Exited,
     [](const HelperRun& run) { EXPECT_EQ(run.out, "xxx"); }},
    {"fails_saying_why", "echo one >&2; echo two >&2; exit 3", "", {}, HelperRun::End::Exited,
     [](const HelperRun& run) {
         EXPECT_EQ(run.code, 3);
         EXPECT_EQ(run.errorLine, "two");
     }},
    {"crashes", "echo reading >&2; kill -SEGV $$", "", {}, HelperRun::End::Signalled,
     [](const HelperRun& run) {
         EXPECT_EQ(run.code, SIGSEGV);
         EXPECT_EQ(run.errorLine, "reading");
         EXPECT_EQ(tools::DescribeHelperEnd(run, {}), "died of SIGSEGV");
     }},
    {"never_answers", "exec sleep 1000", "", Short, HelperRun::End::TimedOut},
    // A helper that closes its output is not taken for one that has ended.
    {"closes_its_output_and_stays", "exec >&- 2>&-; exec sleep 1000", "", Short, HelperRun::End::TimedOut},
    {"writes_without_end", "exec yes", "", Short, HelperRun::End::TooMuchOutput,
     [](const HelperRun& run) {
         EXPECT_EQ(run.out.size(), 4096u);
         EXPECT_EQ(tools::DescribeHelperEnd(run, Short), "wrote more than 4096 bytes");
     }},
};

class HelperProcess : public ::testing::TestWithParam<HelperCase> {};

TEST_P(HelperProcess, EndsWithinItsLimits)
{
    const HelperCase& c = GetParam();
    const HelperRun run = tools::RunHelper("/bin/sh", {"-c", c.script}, c.input, c.limits);
    EXPECT_EQ(run.end, c.end) << tools::DescribeHelperEnd(run, c.limits);
    c.check(run);
}

INSTANTIATE_TEST_SUITE_P(Cases, HelperProcess, ::testing::ValuesIn(HelperCases),
                         [](const ::testing::TestParamInfo<HelperCase>& info) { return info.param.name; });

// A helper stopped for its time is gone when RunHelper returns: killed and
// reaped, not left running.
TEST(HelperProcess, LeavesNoHelperBehind)
{
    ScratchFolder folder;
    const std::filesystem::path pidFile = folder.path() / "pid";
    const HelperRun run =
        tools::RunHelper("/bin/sh", {"-c", "echo $$ > '" + pidFile.string() + "'; exec sleep 1000"}, "", Short);
    ASSERT_EQ(run.end, HelperRun::End::TimedOut);
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(HelperProcess, IsLookedForOnPath)
{
    EXPECT_TRUE(tools::FindProgram("sh"));
    EXPECT_FALSE(tools::FindProgram("no-such-program-quarnhold"));
}

// --- Source lines through quarnhold-run ----------------------------------

// Each kernel call of the real image names the line of the source it is
// made on: that line calls the routine.
TEST(SourceLocations, TraceNamesTheLineOfEachCall)
{
    CommandResult run = RunTool({"--trace", BuiltImage().string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("source lines: none"), std::string::npos) << run.out;
    // Each call's line and the line after it; the next match starts at the
    // next call's line.
    static const std::regex call(R"(\n  (ZwCreateFile|ZwWriteFile|ZwClose|DbgPrint) [^\n]*\n)"
                                 R"(    called from quarnhold\.sys\+0x[0-9A-F]+ \(([a-z_/]+\.cpp):(\d+)\))");
    size_t calls = 0;
    for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), call); it != std::sregex_iterator(); ++it) {
        const std::string routine = (*it)[1], file = (*it)[2];
        const unsigned line = static_cast<unsigned>(std::stoul((*it)[3]));
        EXPECT_NE(SourceLine(file, line).find(routine + "("), std::string::npos)
            << file << ":" << line << " does not call " << routine << ": " << SourceLine(file, line);
        ++calls;
    }
    EXPECT_EQ(calls, 16u) << run.out;
    // The flags by the names the driver's source gives them.
    EXPECT_NE(run.out.find("  ZwCreateFile \"\\??\\c:\\Quarnhold\\test.txt\" access SYNCHRONIZE | FILE_WRITE_DATA "
                           "share FILE_SHARE_READ FILE_OPEN options FILE_SYNCHRONOUS_IO_NONALERT "
                           "attributes OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE -> FILE_OPENED, handle 0x8000000C\n"),
              std::string::npos)
        << run.out;
}

TEST(SourceLocations, JsonGivesEachCallFieldByField)
{
    CommandResult run = RunTool({"--json", "--trace", BuiltImage().string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json record = nlohmann::json::parse(run.out);
    EXPECT_TRUE(record["sourceLinesMissing"].is_null());
    ASSERT_EQ(record["calls"].size(), 16u);
    for (const nlohmann::json& call : record["calls"]) {
        const nlohmann::json& caller = call["caller"];
        ASSERT_TRUE(caller.is_object()) << call;
        const std::string location = caller["location"], prefix = "quarnhold.sys+";
        ASSERT_EQ(location.rfind(prefix, 0), 0u) << location;
        EXPECT_EQ(std::stoul(location.substr(prefix.size()), nullptr, 16),
                  std::stoul(caller["rva"].get<std::string>(), nullptr, 16));
        const std::string routine = call["routine"];
        EXPECT_NE(SourceLine(caller["file"], caller["line"]).find(routine + "("), std::string::npos) << call;
        EXPECT_FALSE(call["detail"].get<std::string>().empty()) << "the old field stays";
    }
    // The test file's open for writing, and the write.
    const auto call = [&](const std::string& routine, size_t occurrence) {
        for (const nlohmann::json& made : record["calls"]) {
            if (made["routine"] == routine && occurrence-- == 1) return made;
        }
        return nlohmann::json();
    };
    const nlohmann::json open = call("ZwCreateFile", 3);
    EXPECT_EQ(open["path"], "\\??\\c:\\Quarnhold\\test.txt");
    EXPECT_EQ(open["access"]["value"], "0x00100002");
    EXPECT_EQ(open["access"]["names"], nlohmann::json({"SYNCHRONIZE", "FILE_WRITE_DATA"}));
    EXPECT_TRUE(open["access"]["unknown"].is_null());
    EXPECT_EQ(open["share"]["names"], nlohmann::json({"FILE_SHARE_READ"}));
    EXPECT_EQ(open["disposition"]["name"], "FILE_OPEN");
    EXPECT_EQ(open["options"]["names"], nlohmann::json({"FILE_SYNCHRONOUS_IO_NONALERT"}));
    EXPECT_EQ(open["fileAttributes"]["value"], "0x00000000");
    EXPECT_TRUE(open["fileAttributes"]["names"].empty());
    EXPECT_EQ(open["attributes"]["names"], nlohmann::json({"OBJ_CASE_INSENSITIVE", "OBJ_KERNEL_HANDLE"}));
    EXPECT_EQ(open["handle"], "0x8000000C");
    EXPECT_EQ(open["information"], 1);
    EXPECT_EQ(open["informationName"], "FILE_OPENED");
    EXPECT_EQ(open["caller"]["file"], "steps/write_test_file.cpp");
    const nlohmann::json write = call("ZwWriteFile", 1);
    EXPECT_EQ(write["handle"], "0x8000000C");
    EXPECT_EQ(write["length"], 20);
    EXPECT_EQ(write["information"], 20);
}

// A guest fault names where it happened in the guest driver, and where the
// driver made its last kernel call: the line a developer opens.
struct FaultPlaceCase {
    std::string image;
    std::string where;       // a pattern before " (FILE:LINE)" in the fault's line
    std::string sourceText;  // what that line of the source holds
};

void PrintTo(const FaultPlaceCase& c, std::ostream* out)
{
    *out << c.image;
}

const FaultPlaceCase FaultPlaceCases[] = {
    {"wild_call", R"(\(at 0x12345678, reached from wild_call\.sys\+0x[0-9A-F]+)", "reinterpret_cast<ROUTINE>(Target)()"},
    {"bad_write_buffer", R"(last kernel call: ZwWriteFile, called from bad_write_buffer\.sys\+0x[0-9A-F]+)",
     "ZwWriteFile("},
    {"stack_overflow", R"(\(at stack_overflow\.sys\+0x[0-9A-F]+)", ""},
};

class GuestFaultPlace : public ::testing::TestWithParam<FaultPlaceCase> {};

TEST_P(GuestFaultPlace, IsNamedInTheImageAndItsSource)
{
    const FaultPlaceCase& c = GetParam();
    CommandResult run = RunTool({(GuestDriverDir / (c.image + ".sys")).string()});
    EXPECT_EQ(run.exitCode, 1);
    const std::regex place(c.where + R"( \((tests/guest_drivers/)" + c.image + R"(\.cpp):(\d+)\))");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.err, match, place)) << run.err;
    const std::string line = SourceLine(match[1], static_cast<unsigned>(std::stoul(match[2])));
    EXPECT_FALSE(line.empty()) << match[0];
    EXPECT_NE(line.find(c.sourceText), std::string::npos) << match[0] << ": " << line;
}

INSTANTIATE_TEST_SUITE_P(Cases, GuestFaultPlace, ::testing::ValuesIn(FaultPlaceCases),
                         [](const ::testing::TestParamInfo<FaultPlaceCase>& info) { return info.param.image; });

// Without source lines the run is the same run: it completes, names its
// addresses in the image, and says in one line why there are no lines.
struct NoLinesCase {
    std::string name;
    std::string pdb;                   // the guest driver whose PDB lies beside the image; "": none
    std::string brokenSymbolizer;      // a folder of tests/support/broken_llvm put first on PATH; "": none
    bool noLlvm = false;               // PATH holds no LLVM tool
    std::string why;                   // a part of the reason given
};

void PrintTo(const NoLinesCase& c, std::ostream* out)
{
    *out << c.name;
}

const NoLinesCase NoLinesCases[] = {
    {"no_pdb_beside_the_image", "", "", false, "no quarnhold.pdb beside the image"},
    {"a_pdb_of_another_build", "bad_write_buffer", "", false,
     "quarnhold.pdb beside the image belongs to another build: GUID {"},
    {"no_llvm_symbolizer", "quarnhold", "", true, "llvm-symbolizer is not installed (Debian's llvm package has it)"},
    {"a_symbolizer_that_writes_without_end", "quarnhold", "endless", false,
     "llvm-symbolizer cannot read quarnhold.pdb: it wrote more than"},
    {"a_symbolizer_that_crashes", "quarnhold", "crashing", false,
     "llvm-symbolizer cannot read quarnhold.pdb: it died of SIGSEGV, saying \"reading the PDB\""},
    {"a_symbolizer_that_answers_garbage", "quarnhold", "garbled", false, "llvm-symbolizer's answer cannot be read"},
};

class NoSourceLines : public ::testing::TestWithParam<NoLinesCase> {};

TEST_P(NoSourceLines, TheRunStillNamesItsAddresses)
{
    const NoLinesCase& c = GetParam();
    ScratchFolder folder;
    const std::filesystem::path image = folder.path() / "quarnhold.sys";
    std::filesystem::copy_file(BuiltImage(), image);
    if (c.pdb == "quarnhold") {
        std::filesystem::copy_file(BuiltImage().parent_path() / "quarnhold.pdb", folder.path() / "quarnhold.pdb");
    } else if (!c.pdb.empty()) {
        std::filesystem::copy_file(GuestDriverDir / (c.pdb + ".pdb"), folder.path() / "quarnhold.pdb");
    }
    std::vector<std::string> environment;
    if (c.noLlvm) environment.push_back("PATH=" + folder.path().string());
    if (!c.brokenSymbolizer.empty()) {
        environment.push_back("PATH=" + (SourceDir / "tests/support/broken_llvm" / c.brokenSymbolizer).string() + ":" +
                              std::getenv("PATH"));
    }
    CommandResult run = RunTool({"--trace", image.string()}, environment);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const size_t note = run.out.find("\nsource lines: none, ");
    ASSERT_NE(note, std::string::npos) << run.out;
    EXPECT_NE(run.out.substr(note, run.out.find('\n', note + 1) - note).find(c.why), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    called from quarnhold.sys+0x"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(".cpp:"), std::string::npos) << "no line without a PDB that matches: " << run.out;

    CommandResult json = RunTool({"--json", "--trace", image.string()}, environment);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json record = nlohmann::json::parse(json.out);
    EXPECT_NE(record["sourceLinesMissing"].get<std::string>().find(c.why), std::string::npos) << record;
    EXPECT_TRUE(record["calls"][0]["caller"]["rva"].is_string());
    EXPECT_TRUE(record["calls"][0]["caller"]["line"].is_null());
}

INSTANTIATE_TEST_SUITE_P(Cases, NoSourceLines, ::testing::ValuesIn(NoLinesCases),
                         [](const ::testing::TestParamInfo<NoLinesCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quarnhold::tests
