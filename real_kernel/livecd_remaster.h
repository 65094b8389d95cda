// livecd_remaster.h
//
// A ReactOS i386 Debug livecd made to run the driver: kernel images added as
// auto-start services (the driver, and the held-state stager in a load-order
// group so that it runs first), the boot menu skipped straight to the debug
// entry, and the CD's boot sector kept from handing over to the hard disk.
// All work happens in a scratch folder; the ISO given is only read.

#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quarnhold::real_kernel {

// The boot entry that writes debug output as text to COM1.
constexpr std::string_view DebugBootEntry = "LiveCD_Debug";

// A file of the livecd's tree that the remaster changes, and how.
struct RemasterEdit {
    std::string isoPath;  // '/'-separated, from the CD's root
    std::string change;
};

// A kernel driver the livecd starts as an auto-start service.
struct KernelService {
    std::string name;   // the service's, and its image's: system32\drivers\NAME.sys
    std::string group;  // its load-order group; empty: none, so it starts after every grouped one
    std::filesystem::path image;
};

// What a remastered livecd carries beyond the ISO's own.
struct LivecdContents {
    std::vector<KernelService> services;
    // A command the livecd runs once at logon, having logged on by itself
    // (unattend.inf's UnattendSetupEnabled, and a RunOnce entry, which runs
    // before the shell's Run entries); empty: it stays at its LiveCD dialogs.
    std::string runAtLogon;
};

// Every file the remaster changes or adds, in the order it does them.
std::vector<RemasterEdit> RemasterEdits(const LivecdContents& contents);

// unattend.inf with UnattendSetupEnabled set to yes, so that the livecd
// logs on by itself and skips its LiveCD dialogs. Keeps the file's line
// ends. Throws CheckError when the file has no such line.
std::string LogOnByItself(std::string_view unattendInf);

// hivexsh commands that add `command` to the SOFTWARE hive's RunOnce key.
std::string RunOnceHiveScript(std::string_view command);

// freeldr.ini with [FREELOADER] set to boot DebugBootEntry at once
// (DefaultOS, TimeOut=0). Keeps the file's line ends. Throws CheckError when
// the file has no [FREELOADER] section or no debug entry.
std::string BootStraightToDebugEntry(std::string_view freeldrIni);

// loader/isoboot.bin with its one "cmp ax, 0xAA55; jne" turned into "jmp":
// a hard disk with a boot signature is then never booted in the CD's place.
// Throws CheckError unless the sequence 3D 55 AA 75 occurs exactly once.
std::vector<uint8_t> NeverBootHardDisk(std::vector<uint8_t> isoboot);

// The service key's values: a kernel driver (Type 1), started by the
// service manager once drive letters exist (Start 2: auto start; at system
// start there is no C: yet), with its image under system32\drivers, in the
// load-order group `group` when one is given: the service manager starts
// grouped services first, group by group, and each start runs DriverEntry
// to its end (ScmAutoStartServices).
std::map<std::string, std::string> ServiceValues(std::string_view service, std::string_view group = {});

// hivexsh commands that add the service key to a SYSTEM hive.
std::string ServiceHiveScript(std::string_view service, std::string_view group = {});

// hivexget's listing of a key's values ("Name"=dword:00000001,
// "Name"=str(2):"text") as name -> value text, doubled backslashes undone,
// in the forms ServiceValues gives them.
std::map<std::string, std::string> ParseHiveValues(std::string_view listing);

// Remasters `iso` (a .iso, or a .iso.xz) with `contents` into `scratch`,
// and returns the new ISO's path. `progress` hears a line per step. Throws
// CheckError when a step fails or the ISO is not a ReactOS livecd with a
// debug entry.
std::filesystem::path RemasterLivecd(const std::filesystem::path& iso, const LivecdContents& contents,
                                     const std::filesystem::path& scratch,
                                     const std::function<void(const std::string&)>& progress);

}  // namespace quarnhold::real_kernel
