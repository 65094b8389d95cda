// scenarios.h
//
// The table of scenarios every way of running the driver must pass: a
// starting disk, what else holds files open, faults to inject, and the
// transcript, status and disk expected afterwards.

#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "testbed/kernel_model.h"
#include "tests/support/disk_state.h"

namespace quarnhold::tests {

struct Scenario {
    std::string name;  // an identifier: letters, digits and underscores
    bool driveC = true;
    bool writeProtected = false;
    std::vector<DiskItem> before;
    std::vector<testbed::ForeignOpen> foreignOpens;
    std::vector<testbed::InjectedFault> faults;

    std::vector<std::string> transcript;  // UTF-8, as printed
    std::vector<DiskItem> after;
};

const std::vector<Scenario>& Scenarios();

// Names the scenario in test output.
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace quarnhold::tests
