// run_report.cpp

#include "tools/run_report.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>

#include "emulator/hex_text.h"
#include "testbed/nt_status.h"
#include "testbed/text_encoding.h"
#include "tools/call_trace.h"
#include "tools/display_text.h"
#include "tools/fault_option.h"

namespace quarnhold::tools {
namespace {

using emulator::Hex;
using emulator::HexAddress;

// Text from outside, as the terminal may see it.
std::string Shown(std::string_view text)
{
    return EscapeControls(text);
}

std::string HexBytes(const std::string& bytes)
{
    std::string text;
    for (unsigned char byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

// What DriverEntry's status means for the load.
std::string LoadOutcome(uint32_t status)
{
    if (status == testbed::status::DeviceConfigurationError) {
        return "the load fails, as it does by design; the kernel unloads the image";
    }
    if (static_cast<int32_t>(status) >= 0) {
        return "the load succeeds and the driver would stay resident";
    }
    return "the load fails; the kernel unloads the image";
}

std::string_view EventKind(testbed::DiskEvent::Kind kind)
{
    switch (kind) {
        case testbed::DiskEvent::Kind::CreatedDirectory:
            return "createdDirectory";
        case testbed::DiskEvent::Kind::CreatedFile:
            return "createdFile";
        case testbed::DiskEvent::Kind::Wrote:
            return "wrote";
        case testbed::DiskEvent::Kind::Truncated:
            return "truncated";
    }
    return "?";
}

std::string DescribeEvent(const testbed::DiskEvent& event)
{
    switch (event.kind) {
        case testbed::DiskEvent::Kind::CreatedDirectory:
            return "created directory " + Shown(event.volumePath);
        case testbed::DiskEvent::Kind::CreatedFile:
            return "created file      " + Shown(event.volumePath);
        case testbed::DiskEvent::Kind::Truncated:
            return "truncated         " + Shown(event.volumePath);
        case testbed::DiskEvent::Kind::Wrote:
            return "wrote " + std::to_string(event.length) + " bytes at offset " + std::to_string(event.offset) +
                   " of " + Shown(event.volumePath);
    }
    return "";
}

// The fault with where it happened, where execution came from and where
// the last kernel call was made, each named in the image when it lies there.
nlohmann::ordered_json FaultJson(const emulator::GuestFault& fault, const SourceLocations& locations)
{
    const auto at = [&](std::optional<uint64_t> address, bool returnAddress) {
        return LocationJson(address ? locations.Rva(*address) : std::nullopt, returnAddress, locations);
    };
    return {{"what", fault.what},
            {"address", HexAddress(fault.address)},
            {"lastKernelCall", fault.lastKernelCall},
            {"location", at(fault.address, false)},
            {"reachedFrom", at(fault.cameFrom, false)},
            {"lastKernelCallFrom", at(fault.lastCallReturnAddress, true)}};
}

}  // namespace

void CollectOutcome(const fault_sweep::RunOutcome& outcome, RunReport& report)
{
    if (outcome.emulated) report.run = *outcome.emulated;
    report.recordLost = outcome.recordLost;
    report.messages = outcome.debugOutput;
    report.calls = outcome.calls;
    report.openHandles = outcome.openHandles;
    report.counts = outcome.counts;
    report.diskEvents = outcome.diskEvents;
    report.brokenRules = outcome.brokenRules;
    report.writtenFiles = outcome.writtenFiles;
}

void WriteText(const RunReport& report, std::ostream& out, bool withMessages, bool stats, bool trace)
{
    if (!report.driveC) {
        out << "drive C: none (no \\??\\c: link)\n";
    } else {
        if (!report.scratchDriveC) {
            out << "drive C: " << Shown(report.driveC->string());
        } else if (report.driveCKept) {
            out << "drive C: " << Shown(report.driveC->string()) << " (fresh scratch folder, kept)";
        } else {
            out << "drive C: a fresh scratch folder, removed after the run";
        }
        out << ", " << testbed::FileSystemName(report.fileSystem)
            << (report.startDisk.empty() ? "" : ", laid out as " + report.startDisk)
            << (report.readOnlyMount    ? ", write-protected (a read-only mount)"
                : report.writeProtected ? ", write-protected"
                                        : "");
        // The free space is shown only when it is not the usual room for any run.
        if (report.space != testbed::VolumeSpace{}) {
            out << ", " << report.space.freeClusters << " free cluster" << (report.space.freeClusters == 1 ? "" : "s")
                << " of " << report.space.clusterBytes << " bytes";
        }
        out << "\n";
    }
    out << "image: " << Shown(report.image.string()) << ", " << report.machine << ", mapped at "
        << HexAddress(report.run.imageBase) << " (preferred " << HexAddress(report.preferredBase) << ", "
        << report.relocations << " relocations applied)\n";
    if (!report.locations.WhyNoLines().empty()) {
        out << "source lines: none, " << Shown(report.locations.WhyNoLines()) << "\n";
    }

    if (report.recordLost) {
        out << "DriverEntry did not return: " << Shown(DescribeGuestFault(*report.run.fault, report.locations))
            << "\n"
            << "what the run did until then (messages, kernel calls, handles, drive C changes) was lost with the "
               "emulator's process\n";
        return;
    }
    if (withMessages) {
        out << "debug output, " << report.messages.size() << (report.messages.size() == 1 ? " message" : " messages")
            << " (GBK shown as UTF-8):\n";
        for (const std::string& message : report.messages) {
            out << Shown(testbed::GbkToUtf8(message)) << "\n";
        }
        out << "end of debug output\n";
    }
    if (trace) {
        out << "kernel calls:\n";
        for (const testbed::KernelCall& call : report.calls) {
            out << "  " << Shown(TraceLine(call)) << "\n";
            if (std::optional<std::string> caller = TraceCaller(call, report.locations)) {
                out << "    " << Shown(*caller) << "\n";
            }
        }
    }

    if (report.run.fault) {
        out << "DriverEntry did not return cleanly: "
            << Shown(DescribeGuestFault(*report.run.fault, report.locations)) << "\n";
    } else {
        out << "DriverEntry returned " << testbed::DescribeStatus(report.run.status) << ": "
            << LoadOutcome(report.run.status) << "\n";
    }
    out << "handles left open: " << report.openHandles.size() << " (" << report.counts.opened << " opened, "
        << report.counts.closed << " closed)\n";
    for (const testbed::OpenHandle& handle : report.openHandles) {
        out << "  " << Hex(handle.handle, 8) << " " << (handle.volumePath.empty() ? "\\" : Shown(handle.volumePath))
            << " access " << Hex(handle.grantedAccess, 8) << "\n";
    }

    out << "drive C changes:" << (report.diskEvents.empty() ? " none" : "") << "\n";
    for (const testbed::DiskEvent& event : report.diskEvents) {
        out << "  " << DescribeEvent(event) << "\n";
    }
    // Read back by the worker from the very files the run wrote, never by
    // name, and no more of each than is shown.
    for (const testbed::WrittenFile& file : report.writtenFiles) {
        out << "  " << Shown(file.volumePath);
        if (!file.now.named) {
            out << " is no longer on drive C\n";
            continue;
        }
        out << " is now " << file.now.size << " bytes";
        if (file.now.size <= ShownContentLimit && file.now.head.size() == file.now.size) {
            out << ": \"" << Shown(testbed::GbkToUtf8(file.now.head)) << "\" (GBK shown as UTF-8)";
        }
        out << "\n";
    }

    if (!report.faults.empty()) {
        size_t took = 0;
        for (const FaultTaken& taken : report.faults) took += taken.tookEffect.value_or(false);
        out << "faults asked for: " << report.faults.size() << ", " << took << " took effect\n";
        for (const FaultTaken& taken : report.faults) {
            out << "  " << FaultOption(taken.fault) << ": "
                << (*taken.tookEffect ? "took effect" : "never took effect: " + taken.why) << "\n";
        }
    }
    // The verdict below names every kind of finding; a few of them here.
    constexpr size_t ShownFindings = 10;
    for (size_t i = 0; i < std::min(report.brokenRules.size(), ShownFindings); ++i) {
        out << "verifier: " << Shown(report.brokenRules[i].rule) << ", in " << Shown(report.brokenRules[i].call) << "\n";
    }
    if (report.brokenRules.size() > ShownFindings) {
        out << "verifier: " << report.brokenRules.size() - ShownFindings << " more findings, not shown\n";
    }
    for (const std::string& access : report.run.loaderDataAccesses) {
        out << "verifier: DriverEntry made a " << access << "\n";
    }
    if (stats) {
        out << "guest instructions: " << report.run.stats.instructions << "\n"
            << "peak stack: " << report.run.stats.peakStackBytes << " bytes of the " << report.run.stats.stackBytes
            << "-byte kernel stack\n"
            << "time: " << std::fixed << std::setprecision(2)
            << std::chrono::duration<double, std::milli>(report.run.stats.elapsed).count() << " ms in the emulator\n";
    }
}

void WriteRawMessages(const RunReport& report, std::ostream& out)
{
    for (const std::string& message : report.messages) {
        out << message << '\n';
    }
}

nlohmann::ordered_json ToJson(const RunReport& report, bool stats, bool trace)
{
    nlohmann::ordered_json record;
    record["image"] = report.image.string();
    record["driveC"] =
        report.driveC ? nlohmann::ordered_json(report.driveC->string()) : nlohmann::ordered_json(nullptr);
    record["scratchDriveC"] = report.scratchDriveC;
    record["driveCKept"] = report.driveCKept;
    record["startDisk"] = report.startDisk;
    record["writeProtected"] = report.writeProtected;
    record["readOnlyMount"] = report.readOnlyMount;
    record["clusterBytes"] = report.space.clusterBytes;
    record["freeClusters"] = report.space.freeClusters;
    record["fileSystem"] = testbed::FileSystemOption(report.fileSystem);
    record["machine"] = report.machine;
    record["imageBase"] = HexAddress(report.run.imageBase);
    record["preferredBase"] = HexAddress(report.preferredBase);
    record["relocations"] = report.relocations;
    record["sourceLinesMissing"] = report.locations.WhyNoLines().empty()
                                       ? nlohmann::ordered_json(nullptr)
                                       : nlohmann::ordered_json(report.locations.WhyNoLines());

    nlohmann::ordered_json faults = nlohmann::ordered_json::array();
    for (const FaultTaken& taken : report.faults) {
        const testbed::InjectedFault& fault = taken.fault;
        faults.push_back(
            {{"fault", FaultOption(fault)},
             {"routine", testbed::RoutineName(fault.routine)},
             {"occurrence", fault.occurrence},
             {"status", fault.status ? nlohmann::ordered_json(Hex(*fault.status, 8)) : nlohmann::ordered_json(nullptr)},
             {"information",
              fault.information ? nlohmann::ordered_json(Hex(*fault.information)) : nlohmann::ordered_json(nullptr)},
             {"tookEffect",
              taken.tookEffect ? nlohmann::ordered_json(*taken.tookEffect) : nlohmann::ordered_json(nullptr)},
             {"why", taken.why.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(taken.why)}});
    }
    record["faults"] = faults;

    if (report.recordLost) {
        // What the run did died with the emulator's process: unknown, not empty.
        record["messages"] = nullptr;
        record["completed"] = false;
        record["recordLost"] = true;
        record["status"] = nullptr;
        record["fault"] = FaultJson(*report.run.fault, report.locations);
        for (const char* unknown : {"handlesLeftOpen", "handlesOpened", "handlesClosed", "driveCChanges", "brokenRules",
                                    "loaderDataAccesses"}) {
            record[unknown] = nullptr;
        }
        if (trace) record["calls"] = nullptr;
        if (stats) record["stats"] = {{"instructions", report.run.stats.instructions}};
        return record;
    }

    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    for (const std::string& message : report.messages) {
        messages.push_back({{"text", testbed::GbkToUtf8(message)}, {"gbk", HexBytes(message)}});
    }
    record["messages"] = messages;

    record["completed"] = !report.run.fault.has_value();
    record["recordLost"] = false;
    if (report.run.fault) {
        record["status"] = nullptr;
        record["fault"] = FaultJson(*report.run.fault, report.locations);
    } else {
        record["status"] = Hex(report.run.status, 8);
        record["statusName"] = std::string(testbed::StatusName(report.run.status));
        record["fault"] = nullptr;
    }

    nlohmann::ordered_json handles = nlohmann::ordered_json::array();
    for (const testbed::OpenHandle& handle : report.openHandles) {
        handles.push_back(
            {{"handle", Hex(handle.handle, 8)}, {"path", handle.volumePath}, {"access", Hex(handle.grantedAccess, 8)}});
    }
    record["handlesLeftOpen"] = handles;
    record["handlesOpened"] = report.counts.opened;
    record["handlesClosed"] = report.counts.closed;

    nlohmann::ordered_json changes = nlohmann::ordered_json::array();
    for (const testbed::DiskEvent& event : report.diskEvents) {
        nlohmann::ordered_json change = {{"kind", EventKind(event.kind)}, {"path", event.volumePath}};
        if (event.kind == testbed::DiskEvent::Kind::Wrote) {
            change["offset"] = event.offset;
            change["length"] = event.length;
        }
        changes.push_back(change);
    }
    record["driveCChanges"] = changes;
    nlohmann::ordered_json brokenRules = nlohmann::ordered_json::array();
    for (const testbed::BrokenRule& broken : report.brokenRules) {
        brokenRules.push_back({{"rule", broken.rule}, {"call", broken.call}});
    }
    record["brokenRules"] = brokenRules;
    record["loaderDataAccesses"] = report.run.loaderDataAccesses;

    if (trace) {
        nlohmann::ordered_json calls = nlohmann::ordered_json::array();
        for (const testbed::KernelCall& call : report.calls) {
            calls.push_back(CallJson(call, report.locations));
        }
        record["calls"] = calls;
    }
    if (stats) {
        record["stats"] = {{"instructions", report.run.stats.instructions},
                           {"peakStackBytes", report.run.stats.peakStackBytes},
                           {"stackBytes", report.run.stats.stackBytes},
                           {"elapsedMicroseconds",
                            std::chrono::duration_cast<std::chrono::microseconds>(report.run.stats.elapsed).count()}};
    }
    return record;
}

}  // namespace quarnhold::tools
