// user_install.cpp

#include "real_kernel/user_install.h"

#include <algorithm>

#include "real_kernel/child_process.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;
namespace {

// The tools the install script calls from %SystemRoot%\System32.
constexpr std::string_view ScriptTools = "sc.exe fltmc.exe net.exe net1.exe certutil.exe";

std::string Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

const std::vector<std::string>& Substitutions()
{
    static const std::vector<std::string> substitutions{
        "SystemRoot=C:\\" + std::string(StandInSystemRoot) + ", holding " + std::string(ScriptTools) +
            " copied from the livecd's System32: the livecd's SystemRoot is X:\\reactos, on the read-only CD, where "
            "the script cannot copy quarnhold.sys",
        "TEMP=C:\\" + std::string(StandInTemp) +
            ": the livecd's is X:\\reactos\\TEMP, on the read-only CD, where the script cannot make its scratch "
            "folder",
        "PROCESSOR_ARCHITECTURE=x86: the livecd sets none",
    };
    return substitutions;
}

std::string RunnerScript()
{
    const std::string root = "C:\\" + std::string(StandInSystemRoot);
    const std::vector<std::string> lines{
        "@echo off",
        "rem The real-kernel check's runner: runs the install script as a user",
        "rem does, with what this livecd lacks set first, keeps its output on C:,",
        "rem and ends the boot.",
        "rem The livecd's SystemRoot is on the read-only CD: the script gets one",
        "rem on C: that holds the tools it calls.",
        "mkdir " + root + "\\System32\\drivers",
        "mkdir C:\\" + std::string(StandInTemp),
        "for %%t in (" + std::string(ScriptTools) + ") do if exist \"%SystemRoot%\\System32\\%%t\" copy /y "
            "\"%SystemRoot%\\System32\\%%t\" " + root + "\\System32\\ >nul",
        "set \"SystemRoot=" + root + "\"",
        "rem Its TEMP is on the CD too.",
        "set \"TEMP=C:\\" + std::string(StandInTemp) + "\"",
        "set \"TMP=C:\\" + std::string(StandInTemp) + "\"",
        "rem The livecd sets no PROCESSOR_ARCHITECTURE.",
        "set \"PROCESSOR_ARCHITECTURE=x86\"",
        "call C:\\" + std::string(PackageFolder) + "\\quarnhold-service.cmd /nopause",
        ">C:\\" + std::string(ScriptExitPath) + " echo %errorlevel%",
        "shutdown.exe -r -t 0",
    };
    std::string script;
    for (const std::string& line : lines) script += line + "\r\n";
    return script;
}

std::vector<testbed::DiskItem> UserInstallDisk(const fs::path& package, const fs::path& scratch)
{
    const fs::path unpacked = scratch / "package";
    fs::remove_all(unpacked);
    fs::create_directories(unpacked);
    RunOrThrow({"unzip", "-q", "-o", package.string(), "-d", unpacked.string()});
    std::vector<testbed::DiskItem> items{testbed::Directory(std::string(PackageFolder))};
    for (testbed::DiskItem item : testbed::ReadDisk(unpacked)) {
        item.path = std::string(PackageFolder) + "/" + item.path;
        items.push_back(std::move(item));
    }
    items.push_back(testbed::File(std::string(RunnerPath), RunnerScript()));
    return items;
}

bool IsLeftOutOfComparison(const std::string& path)
{
    for (std::string_view folder : {StandInSystemRoot, StandInTemp, ShellRecycleBin}) {
        if (path == folder || path.starts_with(std::string(folder) + "/")) return true;
    }
    return path == ScriptOutputPath || path == ScriptExitPath;
}

std::string ScriptOutcome(const std::optional<std::string>& output, const std::optional<std::string>& exitCode)
{
    if (!output || !exitCode) return "the runner left no " + std::string(!output ? ScriptOutputPath : ScriptExitPath);
    std::string startLine = "no sc.exe line about the start";
    for (size_t at = 0; at < output->size();) {
        size_t end = std::min(output->find('\n', at), output->size());
        std::string line = Trimmed(std::string_view(*output).substr(at, end - at));
        if (line.find("StartService") != std::string::npos) {
            startLine = line;
            break;
        }
        at = end + 1;
    }
    return "exit " + Trimmed(*exitCode) + "; " + startLine;
}

std::string ReadmePromise()
{
    return "exit 0; [SC] StartService FAILED 87:";
}

}  // namespace quarnhold::real_kernel
