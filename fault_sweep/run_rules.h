// run_rules.h
//
// What every run of the driver must hold, whatever the disk and whatever the
// kernel answered: the calls and messages of the run sequence, each outcome
// printed with the status the kernel gave, every call's arguments as the
// driver's contract gives them, test.txt as a successful write leaves it,
// every handle closed once, the failure status returned, the loader's data
// untouched, a shallow stack, and no kernel rule broken.

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/driver_run.h"
#include "testbed/scratch_disk.h"

namespace quarnhold::fault_sweep {

namespace rule {
inline constexpr std::string_view RunCompleted = "DriverEntry returned to the loader";
inline constexpr std::string_view FailureStatus = "DriverEntry returned STATUS_DEVICE_CONFIGURATION_ERROR";
inline constexpr std::string_view RunSequence = "calls and messages follow the run sequence";
inline constexpr std::string_view ContractArguments = "every call's arguments are the driver's contract";
inline constexpr std::string_view TestFileWritten = "test.txt holds the text after a successful write";
inline constexpr std::string_view HandlesClosed = "every handle closed exactly once";
inline constexpr std::string_view LoaderDataUntouched = "DRIVER_OBJECT and registry path untouched";
inline constexpr std::string_view ShallowStack = "peak stack well under the 12 KB kernel stack";
inline constexpr std::string_view KernelRules = "no kernel rule broken";
// The sweep's own check that a run got the faults it was planned with.
inline constexpr std::string_view FaultsTookEffect = "every planned fault took effect";

inline constexpr std::array<std::string_view, 10> All{
    RunCompleted,  FailureStatus,       RunSequence,  ContractArguments, TestFileWritten,
    HandlesClosed, LoaderDataUntouched, ShallowStack, KernelRules,       FaultsTookEffect};
}  // namespace rule

// Deeper than this is not "well under" a 12 KB kernel stack: the driver has
// no reason to use more than a quarter of it. amd64's kernel stack is 24 KB,
// and its frames are larger, but the same limit holds there with room.
inline constexpr uint32_t PeakStackLimit = 3 * 1024;

struct BrokenRunRule {
    std::string_view rule;  // one of rule::
    std::string detail;     // what the run did instead
};

// Drive C around a run.
struct DiskChange {
    const std::vector<testbed::DiskItem>& before;  // as laid down
    const std::vector<testbed::DiskItem>& after;   // as read back
};

// Every rule `outcome` broke; empty when it held them all.
std::vector<BrokenRunRule> CheckRunRules(const RunOutcome& outcome, const DiskChange& disk);

}  // namespace quarnhold::fault_sweep
