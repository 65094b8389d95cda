// faults_taken.h
//
// What became of each fault a person asked for with --fault: a fault that
// never took effect (a call the driver never made, an Information for a
// create that failed, an Information equal to the one the create reported)
// fails the run, since the report would otherwise show a run that was not
// the one asked for.

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fault_sweep/driver_run.h"

namespace quarnhold::tools {

struct FaultTaken {
    testbed::InjectedFault fault;
    // Nothing when the run's record was lost with the emulator.
    std::optional<bool> tookEffect;
    std::string why;  // when it did not: "the driver made 2 ZwCreateFile calls"
};

// One entry per fault in `asked`, in order, from the calls `outcome` records.
std::vector<FaultTaken> FaultsTaken(const std::vector<testbed::InjectedFault>& asked,
                                    const fault_sweep::RunOutcome& outcome);

}  // namespace quarnhold::tools
