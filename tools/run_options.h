// run_options.h
//
// quarnhold-run's command line.

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "testbed/kernel_model.h"

namespace quarnhold::tools {

struct RunOptions {
    std::filesystem::path image;
    std::optional<std::filesystem::path> driveC;  // nothing: a fresh scratch folder
    bool noDriveC = false;                        // run without the \??\c: link
    bool writeProtected = false;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;  // what drive C is formatted with
    bool raw = false;
    bool json = false;
    bool stats = false;
    bool trace = false;
    // A starting disk of the fault sweep, laid down on a fresh scratch drive C.
    std::optional<std::string> startDisk;
    // Leave the fresh scratch drive C in place after the run, and say where.
    bool keepDriveC = false;
    std::vector<testbed::InjectedFault> faults;  // --fault, in the order given
    bool sweep = false;                          // the fault sweep instead of one run
    bool singleFaults = false;                   // sweep without pairs of faults
    bool sweepOnFolder = false;                  // sweep on a scratch folder, not in memory
    bool help = false;
    bool version = false;
};

// The options, or a one-line reason they are not usable.
std::variant<RunOptions, std::string> ParseRunOptions(const std::vector<std::string>& arguments);

extern const char* const RunUsage;

// "quarnhold-run 1.0.0", the project's version.
extern const char* const RunVersion;

}  // namespace quarnhold::tools
