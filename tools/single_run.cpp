// single_run.cpp

#include "tools/single_run.h"

#include <unistd.h>

#include <sstream>

#include "emulator/driver_image_run.h"
#include "isolation/isolated_image_runner.h"
#include "tools/drive_c_setup.h"
#include "tools/exit_status.h"
#include "tools/fault_option.h"
#include "tools/faults_taken.h"
#include "tools/image_file.h"
#include "tools/run_report.h"
#include "tools/standard_output.h"

namespace quarnhold::tools {

int RunImageOnce(const RunOptions& options)
{
    // Loaded before drive C is made, so that an image that cannot load
    // leaves no scratch folder behind.
    std::optional<emulator::DriverImageRunner> loaded;
    std::string machine;
    uint64_t preferredBase = 0;
    size_t relocations = 0;
    {
        auto read = ReadImageFile(options.image);
        if (const Refusal* refused = std::get_if<Refusal>(&read)) {
            return Refuse(*refused);
        }
        const emulator::PeImage& image = std::get<emulator::PeImage>(read);
        preferredBase = image.imageBase;
        if (const emulator::GuestMachine* known = emulator::MachineFor(image.machine)) {
            machine = known->Name();
        }
        relocations = image.relocationRvas.size();
        try {
            loaded.emplace(image);
        } catch (const emulator::ImageError& refused) {
            return Refuse(CannotLoad(options.image, refused));
        }
    }  // the file's bytes are not needed once the image is loaded

    auto prepared = PrepareDriveC(options);
    if (const Refusal* refused = std::get_if<Refusal>(&prepared)) {
        return Refuse(*refused);
    }
    PreparedDriveC& drive = std::get<PreparedDriveC>(prepared);

    RunReport report;
    report.image = options.image;
    report.driveC = drive.folder;
    report.scratchDriveC = drive.scratch != nullptr;
    report.driveCKept = drive.scratch != nullptr && drive.keep;
    report.startDisk = drive.startDisk;
    report.writeProtected = drive.writeProtected;
    report.fileSystem = options.fileSystem;
    report.machine = machine;
    report.preferredBase = preferredBase;
    report.relocations = relocations;

    // The run happens in a worker process: an image that makes the emulator
    // abort or crash ends the run, not this report.
    isolation::IsolatedImageRunner runner(*loaded);
    const fault_sweep::RunOutcome outcome = runner.Run(fault_sweep::RunSetup{
        testbed::DriveC{drive.folder, drive.writeProtected, options.fileSystem}, options.faults, drive.foreignOpens});
    // The host stopped the run: nothing it shows is the driver's, so none
    // of it is shown.
    if (!outcome.testBedError.empty()) {
        return Refuse(ExitRunFailed, outcome.testBedError);
    }
    CollectOutcome(outcome, report);
    report.faults = FaultsTaken(options.faults, outcome);

    std::ostringstream out, err;
    if (options.json) {
        out << ToJson(report, options.stats, options.trace)
                   .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
            << "\n";
    } else if (options.raw) {
        WriteRawMessages(report, out);
        WriteText(report, err, false, options.stats, options.trace);
    } else {
        WriteText(report, out, true, options.stats, options.trace);
    }
    for (const auto& [fd, text] : {std::pair{STDOUT_FILENO, out.str()}, std::pair{STDERR_FILENO, err.str()}}) {
        if (std::optional<Refusal> failed = Emit(fd, text)) return Refuse(*failed);
    }
    if (drive.scratch && drive.keep) {
        drive.scratch->Keep();
    } else if (drive.scratch) {
        drive.scratch->Remove();
    }

    if (report.run.fault) {
        return Refuse(ExitRunFailed, "guest fault: " + emulator::DescribeGuestFault(*report.run.fault));
    }
    if (!report.brokenRules.empty()) {
        return Refuse(ExitRunFailed, "the driver broke " + std::to_string(report.brokenRules.size()) + " kernel rule" +
                                         (report.brokenRules.size() == 1 ? "" : "s") + ": " +
                                         report.brokenRules.front().rule);
    }
    std::vector<const FaultTaken*> missed;
    for (const FaultTaken& taken : report.faults) {
        if (taken.tookEffect == false) missed.push_back(&taken);
    }
    if (!missed.empty()) {
        return Refuse(ExitRunFailed, std::to_string(missed.size()) + (missed.size() == 1 ? " fault" : " faults") +
                                         " never took effect: " + FaultOption(missed.front()->fault) + " (" +
                                         missed.front()->why + ")");
    }
    return ExitCompleted;
}

}  // namespace quarnhold::tools
