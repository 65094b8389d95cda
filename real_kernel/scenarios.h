// scenarios.h
//
// What the real-kernel check boots: starting disks of the sweep's table that
// a FAT disk can hold, each started once, or twice in a row on the same disk.
// A scenario is of one of four kinds: a laid disk (files and directories
// mtools lays), a held state (a handle another opener holds, made by the
// stager driver), a volume state (a full volume), or the user's own path
// (the release zip's install script, run at logon).

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarnhold::real_kernel {

enum class ScenarioKind { LaidDisk, HeldState, VolumeState, UserInstall };

// "laid disk", "held state", "volume state", "install script".
std::string_view KindName(ScenarioKind kind);

struct Scenario {
    std::string name;          // unique; shown in the report and taken by --scenario
    std::string startingDisk;  // a disk of fault_sweep::StartingDisks()
    int start = 1;             // 1: on the disk as laid; 2: on the disk the first start left
    std::string description;
    ScenarioKind kind = ScenarioKind::LaidDisk;
};

const std::vector<Scenario>& Scenarios();

// The scenario of that name, or nothing.
const Scenario* FindScenario(const std::string& name);

// The boots to make, one chain per starting disk: its starts in order, on
// the same disk. `names` picks scenarios (empty: all); a later start brings
// the earlier ones of its disk along. Throws std::invalid_argument for an
// unknown name.
std::vector<std::vector<const Scenario*>> BootChains(const std::vector<std::string>& names);

}  // namespace quarnhold::real_kernel
