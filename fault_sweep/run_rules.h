// run_rules.h
//
// What every run of the driver must hold, whatever the disk and whatever the
// kernel answered: the calls and messages of the run sequence, each outcome
// printed with the status the kernel gave, every call's arguments as the
// driver's contract gives them, test.txt as a successful write leaves it,
// every handle closed once, the failure status returned, the loader's data
// untouched, a shallow stack, no kernel rule broken, and every fault the run
// was given taken. A sweep run and a single run of quarnhold-run are held to
// the same rules, so a failed sweep run repeated alone fails alike.

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
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

// A rule's short name, stable from release to release, for scripts and
// JSON: "handles-closed" for rule::HandlesClosed.
std::string_view RuleId(std::string_view rule);

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

// Every rule `outcome` broke; empty when it held them all. The rules of the
// run itself, without rule::FaultsTookEffect (see CheckRun).
std::vector<BrokenRunRule> CheckRunRules(const RunOutcome& outcome, const DiskChange& disk);

// Why `fault` never took effect among `calls`: "there was no ZwWriteFile #2:
// the driver made 1 ZwWriteFile call"; nothing when it did.
std::optional<std::string> WhyFaultMissed(const testbed::InjectedFault& fault,
                                          const std::vector<testbed::KernelCall>& calls);

// Every rule a run given `faults` broke: those of CheckRunRules, then one
// rule::FaultsTookEffect line per fault that never took effect. A run whose
// record was lost with the emulator's process broke the one rule its fault
// names; nothing is known to check the others with.
std::vector<BrokenRunRule> CheckRun(const RunOutcome& outcome, const DiskChange& disk,
                                    const std::vector<testbed::InjectedFault>& faults);

// What the disk rule reads of the folder that stands in for drive C: each
// name at its root that is Quarnhold in any letter case, and each test.txt in
// any letter case inside such a directory, sorted by path as ReadDisk sorts.
// Only that, so that a run on a person's own folder reads no more of it than
// the driver can touch. Throws TestBedError when the host refuses a read.
std::vector<testbed::DiskItem> ReadRuledItems(const std::filesystem::path& folder);

}  // namespace quarnhold::fault_sweep
