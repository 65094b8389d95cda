// scenarios.h
//
// The table of scenarios every way of running the driver must pass: a
// starting disk (which also says what else holds files open), the file
// system drive C is formatted with, faults to inject, and the transcript and
// disk expected afterwards.

#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fault_sweep/starting_disks.h"
#include "testbed/kernel_model.h"
#include "tests/support/disk_state.h"

namespace quarnhold::tests {

struct Scenario {
    std::string name;                                            // an identifier: letters, digits and underscores
    std::string disk;                                            // the name of a starting disk
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;  // what drive C is formatted with
    std::vector<testbed::InjectedFault> faults;

    std::vector<std::string> transcript;  // UTF-8, as printed
    std::vector<DiskItem> after;
};

const std::vector<Scenario>& Scenarios();

// Names the scenario in test output.
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace quarnhold::tests
