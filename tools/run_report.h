// run_report.h
//
// What quarnhold-run shows of a run: as text for a person, as the raw GBK
// messages, or as one JSON record.

#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator/driver_image_run.h"
#include "fault_sweep/driver_run.h"
#include "testbed/kernel_model.h"
#include "tools/faults_taken.h"
#include "tools/source_locations.h"

namespace quarnhold::tools {

// A file written is shown whole when it is no longer than this; no more
// of it than this is read back.
constexpr size_t ShownContentLimit = 256;

struct RunReport {
    std::filesystem::path image;
    std::optional<std::filesystem::path> driveC;  // nothing: no \??\c: link
    bool scratchDriveC = false;
    bool driveCKept = false;  // the scratch drive C stays after the run
    std::string startDisk;  // the starting disk laid down on it, if one was
    bool writeProtected = false;
    bool readOnlyMount = false;  // write-protected because the host mounts the folder read-only
    testbed::VolumeSpace space{};
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;
    std::string machine;  // "i386" or "amd64", as the image's header names it
    uint64_t preferredBase = 0;
    size_t relocations = 0;

    emulator::ImageRunResult run;
    // The emulator's process died during the run, and what the model
    // recorded (the fields below) died with it.
    bool recordLost = false;
    std::vector<std::string> messages;  // GBK, one per DbgPrint
    std::vector<testbed::KernelCall> calls;
    std::vector<testbed::OpenHandle> openHandles;
    testbed::HandleCounts counts;
    std::vector<testbed::DiskEvent> diskEvents;
    std::vector<testbed::BrokenRule> brokenRules;
    std::vector<FaultTaken> faults;  // what became of each --fault
    // Where the run's addresses lie in the image and its sources.
    SourceLocations locations;
    std::vector<testbed::WrittenFile> writtenFiles;  // as read back after the run
};

// Copies what the run left behind into `report`.
void CollectOutcome(const fault_sweep::RunOutcome& outcome, RunReport& report);

// The report for a person; the messages as UTF-8 lines unless `withMessages`
// is false (they went out raw). Text from the guest or the disk is shown
// with its control characters escaped.
void WriteText(const RunReport& report, std::ostream& out, bool withMessages, bool stats, bool trace);

// Each message's exact bytes followed by a line feed.
void WriteRawMessages(const RunReport& report, std::ostream& out);

nlohmann::ordered_json ToJson(const RunReport& report, bool stats, bool trace);

}  // namespace quarnhold::tools
