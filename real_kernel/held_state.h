// held_state.h
//
// A starting disk's handles held by other openers, made on the real kernel
// by the stager driver (held_state_stager/): the record the check writes on
// the disk for it, and the lines it prints saying what it holds.

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/starting_disks.h"

namespace quarnhold::real_kernel {

// The stager's service, started before quarnhold's: a kernel driver in the
// load-order group Base.
constexpr std::string_view StagerService = "quarnhold_stager";
constexpr std::string_view StagerGroup = "Base";

// Why the stager cannot make `disk`'s held opens, or nothing when it can.
std::optional<std::string> WhyStagerCannotHold(const fault_sweep::StartingDisk& disk);

// The record's sector for `disk`: each held open with its access and share
// as the table gives them, opened as a directory or a file as the disk
// holds it (and synchronous when it asks for SYNCHRONIZE), with the delete
// disposition or the lock it asks for. Throws CheckError for a disk the
// stager cannot hold.
std::array<uint8_t, 512> HeldStateSector(const fault_sweep::StartingDisk& disk);

// Writes `disk`'s record into the disk image, in the sector the stager reads.
void WriteHeldState(const fault_sweep::StartingDisk& disk, const std::filesystem::path& image);

// One line of the stager's: what it opened, and each step's status.
struct StagerLine {
    std::string text;                  // the line as printed
    std::vector<uint32_t> statuses;    // open, then the delete disposition or the lock, as asked
    bool operator==(const StagerLine&) const = default;
};

// The stager's "quarnhold-stager: holds ..." lines in a serial log.
std::vector<StagerLine> StagerLines(std::string_view log);

// Why the held state of `disk` was not made, from the log's stager lines,
// or nothing when every open and every step it asks succeeded.
std::optional<std::string> WhyHeldStateNotMade(const fault_sweep::StartingDisk& disk,
                                               const std::vector<StagerLine>& lines);

}  // namespace quarnhold::real_kernel
