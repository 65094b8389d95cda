// qemu_boot.cpp

#include "real_kernel/qemu_boot.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "real_kernel/child_process.h"
#include "real_kernel/serial_log.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Everything the file holds so far; empty when it does not exist yet.
std::string ReadAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The disk image's size and time of last write: QEMU's writes move it.
std::pair<off_t, timespec> DiskStamp(const fs::path& disk)
{
    struct stat status {};
    if (stat(disk.c_str(), &status) != 0) return {-1, {}};
    return {status.st_size, status.st_mtim};
}

// Whether the disk image has not been written between two looks.
bool SameStamp(const std::pair<off_t, timespec>& a, const std::pair<off_t, timespec>& b)
{
    return a.first == b.first && a.second.tv_sec == b.second.tv_sec && a.second.tv_nsec == b.second.tv_nsec;
}

// Whole seconds since `start`.
seconds Since(Clock::time_point start)
{
    return std::chrono::duration_cast<seconds>(Clock::now() - start);
}

// Why the driver's line has not come, from what the log holds so far.
std::string WhyNoDriverLine(const std::string& log)
{
    if (log.empty()) return "the serial log is empty: did the CD boot?";
    if (log.find("(/ntoskrnl") == std::string::npos) {
        return "the serial log holds no kernel debug text: the check needs a ReactOS Debug livecd (a Release build "
               "speaks the binary debugger protocol)";
    }
    std::string loaded = "\\" + std::string(ServiceName) + ".sys at ";
    if (log.find(loaded) != std::string::npos) {
        return "the kernel loaded the driver, but no failed initialization followed (did DriverEntry return "
               "success, or not return?); the log's last line: '" +
               LastLine(log) + "'";
    }
    return "the log's last line: '" + LastLine(log) + "'";
}

}  // namespace

std::vector<std::string> QemuCommand(const BootPlan& plan, const BootSettings& settings)
{
    std::vector<std::string> command{
        "qemu-system-i386", "-accel", settings.accelerator, "-m",   std::to_string(settings.memoryMiB),
        "-display",         "none",   "-monitor",           "none", "-no-reboot"};
    if (plan.disk) {
        command.insert(command.end(),
                       {"-drive", "file=" + plan.disk->string() + ",format=raw,if=ide,index=0,media=disk"});
    }
    command.insert(command.end(),
                   {"-drive", "file=" + plan.iso.string() + ",format=raw,if=ide,index=2,media=cdrom,readonly=on",
                    "-boot", "d", "-serial", "file:" + plan.serialLog.string()});
    return command;
}

BootTimes BootOnce(const BootPlan& plan, const BootSettings& settings)
{
    using namespace std::chrono_literals;
    fs::remove(plan.serialLog);
    const Clock::time_point start = Clock::now();
    BackgroundProcess qemu(QemuCommand(plan, settings), plan.qemuOutput);
    const std::string pid = " (QEMU, process " + std::to_string(qemu.Pid()) + ", stopped)";

    BootTimes times;
    if (plan.untilPowerOff) {
        for (;;) {
            std::this_thread::sleep_for(500ms);
            const std::string log = ReadAll(plan.serialLog);
            if (times.toDriverLine == seconds(0) && InitializationStatus(log)) times.toDriverLine = Since(start);
            if (std::optional<std::string> stop = KernelStop(log)) {
                qemu.Stop();
                throw CheckError("ReactOS stopped: '" + *stop + "'" + pid);
            }
            if (!qemu.Running()) break;
            if (Since(start) >= settings.logonTimeout) {
                qemu.Stop();
                throw CheckError("the machine did not power off within " +
                                 std::to_string(settings.logonTimeout.count()) + " s" + pid +
                                 "; the log's last line: '" + LastLine(log) + "'");
            }
        }
        times.total = Since(start);
        return times;
    }
    for (;;) {
        std::this_thread::sleep_for(500ms);
        std::string log = ReadAll(plan.serialLog);
        if (InitializationStatus(log)) break;
        if (std::optional<size_t> stopAt = KernelStopAt(log)) {
            qemu.Stop();
            // Stopped while the driver ran: that is ReactOS's answer, and
            // its cache never reaches the disk.
            if (log.rfind("\\" + std::string(ServiceName) + ".sys at ", *stopAt) != std::string::npos) {
                times.toDriverLine = times.total = Since(start);
                times.kernelStopped = true;
                return times;
            }
            throw CheckError("ReactOS stopped before the driver ran: '" + *KernelStop(log) + "'" + pid);
        }
        if (!qemu.Running()) {
            throw CheckError("QEMU ended by itself after " + std::to_string(Since(start).count()) +
                             " s: " + LastLine(ReadAll(plan.qemuOutput)) + "; " + WhyNoDriverLine(log));
        }
        if (Since(start) >= settings.driverTimeout) {
            qemu.Stop();
            throw CheckError("no '\\Driver\\" + std::string(ServiceName) + "' initialization line within " +
                             std::to_string(settings.driverTimeout.count()) + " s" + pid + ": " + WhyNoDriverLine(log));
        }
    }
    const Clock::time_point driverLine = Clock::now();
    times.toDriverLine = Since(start);

    if (plan.disk) {
        auto stamp = DiskStamp(*plan.disk);
        Clock::time_point lastWrite = driverLine;
        for (;;) {
            std::this_thread::sleep_for(500ms);
            auto now = DiskStamp(*plan.disk);
            if (!SameStamp(now, stamp)) {
                stamp = now;
                lastWrite = Clock::now();
            }
            if (Since(driverLine) >= settings.flushAtLeast && Since(lastWrite) >= settings.diskQuiet) break;
            if (std::optional<std::string> stop = KernelStop(ReadAll(plan.serialLog))) {
                qemu.Stop();
                throw CheckError("ReactOS stopped after the driver's line: '" + *stop + "'" + pid);
            }
            if (Since(driverLine) >= settings.flushTimeout) {
                qemu.Stop();
                throw CheckError("the disk was still being written " + std::to_string(settings.flushTimeout.count()) +
                                 " s after the driver's line" + pid);
            }
        }
    }
    qemu.Stop();
    times.total = Since(start);
    return times;
}

}  // namespace quarnhold::real_kernel
