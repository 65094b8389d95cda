// sweep_filter.h
//
// Which runs of a sweep a person asked for: those on one file system, those
// that fault a given call, those that inject a given status. The starting
// disks are picked by handing the sweep only those disks.

#pragma once

#include <optional>
#include <vector>

#include "testbed/kernel_model.h"
#include "testbed/nt_status.h"

namespace quarnhold::fault_sweep {

// A call of the run, by routine and occurrence (from 1); occurrence 0 is
// every call of the routine.
struct FaultedCall {
    testbed::Routine routine = testbed::Routine::ZwCreateFile;
    unsigned occurrence = 0;
};

struct RunFilter {
    std::optional<testbed::FileSystem> fileSystem;  // nothing: both
    // A run is selected when one of its faults is on one of `calls` (any
    // call when empty) and returns one of `statuses` (any fault when empty).
    // With neither, every run is, the runs without a fault too.
    std::vector<FaultedCall> calls;
    std::vector<testbed::NtStatus> statuses;

    bool TakesFileSystem(testbed::FileSystem fileSystem) const;
    bool Selects(const std::vector<testbed::InjectedFault>& faults) const;
    // Whether it selects anything less than the whole sweep by faults.
    bool FiltersFaults() const { return !calls.empty() || !statuses.empty(); }
};

}  // namespace quarnhold::fault_sweep
