// qemu_boot.h
//
// One boot of the remastered livecd under QEMU, headless: the service
// manager starts the driver, the kernel reports its failed initialization on
// the serial port, the cache reaches the disk, and QEMU is stopped by its
// process id.

#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarnhold::real_kernel {

struct BootSettings {
    std::string accelerator = "tcg";  // or "kvm"
    int memoryMiB = 1024;
    // The limit for the driver's failed-initialization line, from QEMU's start.
    std::chrono::seconds driverTimeout{300};
    // After that line: ReactOS's lazy writer starts 3 s after the first dirty
    // page and writes every second, so the disk is left alone at least this
    // long, and until no write has reached it for `diskQuiet`.
    std::chrono::seconds flushAtLeast{20};
    std::chrono::seconds diskQuiet{8};
    std::chrono::seconds flushTimeout{180};
    // The limit for a boot that logs on and runs a script, which ends by
    // itself (QEMU runs with -no-reboot): about 3.7 minutes at load 12.
    std::chrono::seconds logonTimeout{900};
};

struct BootPlan {
    std::filesystem::path iso;
    std::optional<std::filesystem::path> disk;  // none: a machine with no hard disk
    std::filesystem::path serialLog;
    std::filesystem::path qemuOutput;
    // The boot ends by itself (a script at logon shuts the machine down):
    // wait for QEMU to end, rather than stop it after the driver's line.
    bool untilPowerOff = false;
};

// qemu-system-i386's arguments: the disk (if any) as the first IDE hard
// disk, the ISO read-only as a CD, boot from the CD, serial port to a file,
// no display, no monitor, no reboot.
std::vector<std::string> QemuCommand(const BootPlan& plan, const BootSettings& settings);

struct BootTimes {
    std::chrono::seconds toDriverLine{0};  // to the driver's line, or to the kernel's stop
    std::chrono::seconds total{0};
    bool kernelStopped = false;  // the kernel stopped while the driver ran (see KernelStop)
};

// Boots once and returns when QEMU has been stopped: after the driver's
// line and the disk's last write, or at once when the kernel stops while
// the driver runs. Throws CheckError with the reason (and the serial log's
// last line) when the driver's line never comes, the kernel stops before
// the driver runs, QEMU ends by itself, or the disk never settles.
BootTimes BootOnce(const BootPlan& plan, const BootSettings& settings);

}  // namespace quarnhold::real_kernel
