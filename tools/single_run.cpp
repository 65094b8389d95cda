// single_run.cpp

#include "tools/single_run.h"

#include <iostream>

#include "emulator/driver_image_run.h"
#include "tools/drive_c_setup.h"
#include "tools/exit_status.h"
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

    auto read = ReadImageFile(options.image);
    if (const Refusal* refused = std::get_if<Refusal>(&read)) {
        return Refuse(*refused);
    }
    const emulator::PeImage& image = std::get<emulator::PeImage>(read);

    RunReport report;
    report.image = options.image;
    report.driveC = drive.folder;
    report.scratchDriveC = drive.scratch;
    report.startDisk = drive.startDisk;
    report.writeProtected = drive.writeProtected;
    report.preferredBase = image.imageBase;
    report.relocations = image.relocationRvas.size();

    testbed::KernelModel model(testbed::DriveC{drive.folder, drive.writeProtected}, options.faults, drive.foreignOpens);
    try {
        report.run = emulator::RunDriverImage(image, model);
    } catch (const emulator::ImageError& refused) {
        return Refuse(CannotLoad(options.image, refused));
    }
    CollectModel(model, report);

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
        return Refuse(ExitRunFailed, DescribeFault(*report.run.fault));
    }
    if (!report.brokenRules.empty()) {
        return Refuse(ExitRunFailed, "the driver broke " + std::to_string(report.brokenRules.size()) + " kernel rule" +
                                         (report.brokenRules.size() == 1 ? "" : "s") + ": " +
                                         report.brokenRules.front().rule);
    }
    return ExitCompleted;
}

}  // namespace quarnhold::tools
