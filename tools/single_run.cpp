// single_run.cpp

#include "tools/single_run.h"

#include <iostream>

#include "emulator/driver_image_run.h"
#include "isolation/isolated_image_runner.h"
#include "tools/drive_c_setup.h"
#include "tools/exit_status.h"
#include "tools/fault_option.h"
#include "tools/faults_taken.h"
#include "tools/image_file.h"
#include "tools/run_report.h"

namespace quarnhold::tools {

int RunImageOnce(const RunOptions& options)
{
    if (std::optional<Refusal> refused = CheckImagePath(options.image)) {
        return Refuse(*refused);
    }
    auto prepared = PrepareDriveC(options);
    if (const Refusal* refused = std::get_if<Refusal>(&prepared)) {
        return Refuse(*refused);
    }
    const PreparedDriveC& drive = std::get<PreparedDriveC>(prepared);

    RunReport report;
    report.image = options.image;
    report.driveC = drive.folder;
    report.scratchDriveC = drive.scratch;
    report.startDisk = drive.startDisk;
    report.writeProtected = drive.writeProtected;

    std::optional<emulator::DriverImageRunner> loaded;
    {
        auto read = ReadImageFile(options.image);
        if (const Refusal* refused = std::get_if<Refusal>(&read)) {
            return Refuse(*refused);
        }
        const emulator::PeImage& image = std::get<emulator::PeImage>(read);
        report.preferredBase = image.imageBase;
        report.relocations = image.relocationRvas.size();
        try {
            loaded.emplace(image);
        } catch (const emulator::ImageError& refused) {
            return Refuse(CannotLoad(options.image, refused));
        }
    }  // the file's bytes are not needed once the image is loaded

    // The run happens in a worker process: an image that makes the emulator
    // abort or crash ends the run, not this report.
    isolation::IsolatedImageRunner runner(*loaded);
    const fault_sweep::RunOutcome outcome = runner.Run(
        fault_sweep::RunSetup{testbed::DriveC{drive.folder, drive.writeProtected}, options.faults, drive.foreignOpens});
    CollectOutcome(outcome, report);
    report.faults = FaultsTaken(options.faults, outcome);

    if (options.json) {
        std::cout << ToJson(report, options.stats, options.trace)
                         .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << "\n";
    } else if (options.raw) {
        WriteRawMessages(report, std::cout);
        WriteText(report, std::cerr, false, options.stats, options.trace);
    } else {
        WriteText(report, std::cout, true, options.stats, options.trace);
    }
    std::cout.flush();

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
