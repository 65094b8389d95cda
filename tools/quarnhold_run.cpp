// quarnhold_run.cpp
//
// quarnhold-run: runs a kernel driver image here and shows a person what the
// kernel would have seen. See RunUsage for the command line; a single run is
// in single_run.cpp, the fault sweep in sweep_run.cpp.

#include <signal.h>
#include <unistd.h>

#include <variant>

#include "fault_sweep/starting_disks.h"
#include "tools/exit_status.h"
#include "tools/interrupts.h"
#include "tools/run_options.h"
#include "tools/single_run.h"
#include "tools/standard_output.h"
#include "tools/sweep_run.h"

int main(int argc, char** argv)
{
    using namespace quarnhold::tools;
    GuardStandardStreams();
    CleanUpOnInterrupt();
    // A host file-size limit makes a write fail (a test-bed error) rather
    // than kill the process; so does a reader that goes before the report
    // is written (`quarnhold-run IMAGE | head -c 10`): the write fails with
    // EPIPE, the run fails as with any closed output, and its scratch drive
    // C goes as on any other ending.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    auto parsed = ParseRunOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        return Refuse(ExitBadArguments, *reason);
    }
    const auto& options = std::get<RunOptions>(parsed);
    if (options.help) {
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, RunUsage);
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    if (options.version) {
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, std::string(RunVersion) + "\n");
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    if (options.startDisk == "list" && options.image.empty()) {
        std::string names;
        for (const auto& disk : quarnhold::fault_sweep::StartingDisks()) {
            names += disk.name + "\n";
        }
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, names);
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    try {
        return options.sweep ? SweepImage(options) : RunImageOnce(options);
    } catch (const std::exception& failure) {
        return Refuse(ExitRunFailed, failure.what());
    }
}
