// quarnhold_run.cpp
//
// quarnhold-run: runs a kernel driver image here and shows a person what the
// kernel would have seen. See RunUsage for the command line; a single run is
// in single_run.cpp, the fault sweep in sweep_run.cpp.

#include <signal.h>
#include <unistd.h>

#include <variant>

#include "tools/drive_c_setup.h"
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
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // Asked for JSON, a program reads standard output: a run that cannot be
    // made leaves an error record there.
    SetJsonErrors(AsksForJson(arguments));
    auto parsed = ParseRunOptions(arguments);
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        return Refuse(ExitBadArguments, *reason);
    }
    auto& options = std::get<RunOptions>(parsed);
    // The commands printed to repeat a run start quarnhold-run as it was
    // started here, so they paste back where this was run.
    if (argc > 0 && argv[0] != nullptr && *argv[0] != '\0') options.invokedAs = argv[0];
    if (options.help || options.version) SetJsonErrors(false);
    if (options.help) {
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, RunUsage);
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    if (options.version) {
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, std::string(RunVersion) + "\n");
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    if (ListsStartingDisks(options) && options.image.empty()) {
        SetJsonErrors(false);
        std::optional<Refusal> failed = Emit(STDOUT_FILENO, StartingDiskList());
        return failed ? Refuse(*failed) : ExitCompleted;
    }
    try {
        return options.sweep ? SweepImage(options) : RunImageOnce(options);
    } catch (const std::exception& failure) {
        return Refuse(ExitRunFailed, failure.what());
    }
}
