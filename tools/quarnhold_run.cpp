// quarnhold_run.cpp
//
// quarnhold-run: runs a kernel driver image here and shows a person what the
// kernel would have seen. See RunUsage for the command line; a single run is
// in single_run.cpp, the fault sweep in sweep_run.cpp.

#include <iostream>
#include <variant>

#include "fault_sweep/starting_disks.h"
#include "tools/exit_status.h"
#include "tools/run_options.h"
#include "tools/single_run.h"
#include "tools/sweep_run.h"

int main(int argc, char** argv)
{
    using namespace quarnhold::tools;
    auto parsed = ParseRunOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        return Refuse(ExitBadArguments, *reason);
    }
    const auto& options = std::get<RunOptions>(parsed);
    if (options.help) {
        std::cout << RunUsage;
        return ExitCompleted;
    }
    if (options.startDisk == "list" && options.image.empty()) {
        for (const auto& disk : quarnhold::fault_sweep::StartingDisks()) {
            std::cout << disk.name << "\n";
        }
        return ExitCompleted;
    }
    try {
        return options.sweep ? SweepImage(options) : RunImageOnce(options);
    } catch (const std::exception& failure) {
        return Refuse(ExitRunFailed, failure.what());
    }
}
