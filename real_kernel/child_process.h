// child_process.h
//
// The other programs the real-kernel check drives (mtools, mkfs.fat, xz,
// osirrox, hivexsh, genisoimage, QEMU, quarnhold-run): run one to the end
// and keep what it wrote, or start one in the background and stop it by its
// process id.

#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnhold::real_kernel {

// The check could not be carried out (a tool failed, a boot never reached
// the driver): not a verdict on the driver.
class CheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ProcessResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // NAME=VALUE entries added to (or replacing those of) this environment.
    std::vector<std::string> environment;
    // Standard output goes to this file instead of ProcessResult::out.
    std::optional<std::filesystem::path> outputFile;
};

// Runs `argv` (argv[0] found on PATH unless it has a slash) with no input
// and waits for it. Throws CheckError when the program cannot be started.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// RunProcess, and a CheckError naming the command and its error output when
// it exits with anything but 0. Returns its standard output.
std::string RunOrThrow(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The command as a person would type it, for error messages.
std::string ShowCommand(const std::vector<std::string>& argv);

// A program running in the background, its output going to a file. It is
// stopped by its process id when the object goes, if it is still running,
// and ends by itself if this process ends first.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& outputFile);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Whether it still runs; reaps it when it has ended.
    bool Running();
    // SIGTERM by process id, then SIGKILL if it has not ended within a few
    // seconds; waits for it.
    void Stop();

private:
    pid_t pid_ = -1;
    bool ended_ = false;
};

}  // namespace quarnhold::real_kernel
