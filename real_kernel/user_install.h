// user_install.h
//
// The user's own path on the real kernel: the release zip's files on drive
// C, and the install script run as a user runs it, at logon, with its
// output kept on drive C. What the livecd forces on the scenario (its
// SystemRoot and its TEMP are on the read-only CD; it sets no
// PROCESSOR_ARCHITECTURE) the scenario's runner sets, and says so; the rest
// is the script's own.

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "testbed/scratch_disk.h"

namespace quarnhold::real_kernel {

// The folder on drive C the release zip is unpacked into, as a user would:
// the zip's own name.
constexpr std::string_view PackageFolder = "quarnhold-" QUARNHOLD_VERSION "-i386";
// The scenario's runner, which the livecd runs once at logon.
constexpr std::string_view RunnerPath = "run-install.cmd";
// What the runner leaves on drive C besides what the script and the driver
// do: the output and the script's exit code, the stand-in SystemRoot and
// the stand-in TEMP.
constexpr std::string_view ScriptOutputPath = "install-output.txt";
constexpr std::string_view ScriptExitPath = "install-exit.txt";
constexpr std::string_view StandInSystemRoot = "sysroot";
constexpr std::string_view StandInTemp = "temp";

// The command the livecd's RunOnce entry runs: the runner, its output (the
// install script's among it) kept on drive C. The script is called from the
// runner with no redirection of its own: ReactOS's cmd loses a script's
// exit /b code when the call line redirects its output.
constexpr std::string_view RunAtLogon = "cmd.exe /c C:\\run-install.cmd > C:\\install-output.txt 2>&1";

// What the runner sets because the livecd forces it, one line each, for
// the report.
const std::vector<std::string>& Substitutions();

// The runner's text (CRLF line ends, as cmd.exe reads them).
std::string RunnerScript();

// Drive C before the boot: the release zip's files (unpacked with unzip
// into `scratch`) in PackageFolder, and the runner. Throws CheckError when
// the zip cannot be read.
std::vector<testbed::DiskItem> UserInstallDisk(const std::filesystem::path& package,
                                               const std::filesystem::path& scratch);

// The folder ReactOS's shell makes on a FAT drive C at logon, its recycle
// bin: the desktop's, not the script's or the driver's.
constexpr std::string_view ShellRecycleBin = "RECYCLED";

// Whether `path` on drive C after the boot is left out of the comparison:
// the runner's own products, and what the logon's shell makes.
bool IsLeftOutOfComparison(const std::string& path);

// What the install script came to: its exit code and sc.exe's line about
// the start ("[SC] StartService FAILED 87:"), as one line, or a reason the
// outcome cannot be read.
std::string ScriptOutcome(const std::optional<std::string>& output, const std::optional<std::string>& exitCode);

// What install/README.txt promises the script comes to on a machine it
// runs on: exit 0, and the start failing with error 87.
std::string ReadmePromise();

}  // namespace quarnhold::real_kernel
