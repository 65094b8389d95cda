// single_run.cpp

#include "tools/single_run.h"

#include <unistd.h>

#include <sstream>

#include "emulator/driver_image_run.h"
#include "isolation/isolated_image_runner.h"
#include "testbed/test_bed_error.h"
#include "tools/drive_c_setup.h"
#include "tools/exit_status.h"
#include "tools/faults_taken.h"
#include "tools/image_file.h"
#include "tools/json_fields.h"
#include "tools/run_report.h"
#include "tools/source_locations.h"
#include "tools/run_verdict.h"
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
    std::optional<emulator::CodeViewRecord> codeView;
    uint32_t sizeOfImage = 0;
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
        codeView = image.codeView;
        sizeOfImage = image.sizeOfImage;
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
    report.readOnlyMount = drive.readOnlyMount;
    report.space = drive.space;
    report.fileSystem = options.fileSystem;
    report.machine = machine;
    report.preferredBase = preferredBase;
    report.relocations = relocations;

    // The disk rule holds drive C after the run against drive C before it:
    // a person's own folder is read as it is now.
    std::vector<testbed::DiskItem> before, after;
    try {
        before = ReadRuledDriveC(drive.folder);
    } catch (const testbed::TestBedError& failure) {
        return Refuse(ExitRunFailed, failure.what(), refusal::TestBedError);
    }

    // The run happens in a worker process: an image that makes the emulator
    // abort or crash ends the run, not this report.
    isolation::IsolatedImageRunner runner(*loaded);
    const fault_sweep::RunOutcome outcome = runner.Run(fault_sweep::RunSetup{
        testbed::DriveC{drive.folder, drive.writeProtected, options.fileSystem, nullptr, drive.space}, options.faults,
        drive.foreignOpens, ShownContentLimit});
    // The host stopped the run: nothing it shows is the driver's, so none
    // of it is shown.
    if (!outcome.testBedError.empty()) {
        return Refuse(ExitRunFailed, outcome.testBedError, refusal::TestBedError);
    }
    try {
        if (!outcome.recordLost) after = ReadRuledDriveC(drive.folder);
    } catch (const testbed::TestBedError& failure) {
        return Refuse(ExitRunFailed, failure.what(), refusal::TestBedError);
    }
    CollectOutcome(outcome, report);
    report.locations = LocateRun(MappedImageFile{options.image, codeView, report.run.imageBase, sizeOfImage},
                                 report.calls, options.trace, report.run.fault);
    report.faults = FaultsTaken(options.faults, outcome);
    // The rules the sweep holds each of its runs to.
    const std::vector<fault_sweep::BrokenRunRule> broken =
        fault_sweep::CheckRun(outcome, {before, after}, options.faults);

    std::ostringstream out, err;
    if (options.json) {
        nlohmann::ordered_json record = {{"schema", JsonSchema}};
        record.update(ToJson(report, options.stats, options.trace));
        // No call the model answers bug-checks (a close of a handle that is
        // not open is STATUS_INVALID_HANDLE, as on NT); the field stays, so
        // that the record only ever gains fields.
        record["bugCheck"] = nullptr;
        record["verdict"] = VerdictJson(broken);
        out << JsonText(record);
    } else if (options.raw) {
        WriteRawMessages(report, out);
        WriteText(report, err, false, options.stats, options.trace);
        WriteVerdict(broken, err);
    } else {
        WriteText(report, out, true, options.stats, options.trace);
        WriteVerdict(broken, out);
    }
    // The record tells of any failure from here on.
    SetJsonErrors(false);
    // The scratch drive C goes before the report is written, so that no way
    // the writing can fail (a full disk, a reader gone from the pipe) leaves
    // it behind; a failure to remove it is told after the report.
    std::optional<std::string> notRemoved;
    if (drive.scratch && drive.keep) {
        drive.scratch->Keep();
    } else if (drive.scratch) {
        try {
            drive.scratch->Remove();
        } catch (const testbed::TestBedError& failure) {
            notRemoved = failure.what();
        }
    }
    for (const auto& [fd, text] : {std::pair{STDOUT_FILENO, out.str()}, std::pair{STDERR_FILENO, err.str()}}) {
        if (std::optional<Refusal> failed = Emit(fd, text)) return Refuse(*failed);
    }
    if (notRemoved) return Refuse(ExitRunFailed, *notRemoved);

    // A guest fault is named on its own: where the guest stopped, and the
    // bug check when it was one.
    if (report.run.fault) {
        return Refuse(ExitRunFailed, "guest fault: " + DescribeGuestFault(*report.run.fault, report.locations));
    }
    if (!broken.empty()) return Refuse(ExitRunFailed, VerdictReason(broken));
    return ExitCompleted;
}

}  // namespace quarnhold::tools
