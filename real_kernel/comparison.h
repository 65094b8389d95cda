// comparison.h
//
// ReactOS's answer against the model's, and the verdict: they agree, or
// differ where a known difference says they do, or differ.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "real_kernel/known_differences.h"
#include "testbed/scratch_disk.h"

namespace quarnhold::real_kernel {

// What one start of the driver came to, on either side.
struct Answer {
    std::string messages;            // every message's bytes, concatenated (GBK)
    std::optional<uint32_t> status;  // what DriverEntry returned, when it returned
    // Drive C afterwards, sorted by path (a file's read-only flag is the FAT R
    // attribute); nothing for a machine without drive C.
    std::optional<std::vector<testbed::DiskItem>> disk;
    // Where the kernel stopped while the driver ran (a bug check, a failed
    // assertion); the model never stops.
    std::optional<std::string> stop;
    // What the install script came to (the user's own path only): its exit
    // code and sc.exe's line about the start; on the model's side, what
    // install/README.txt promises.
    std::optional<std::string> script;

    bool operator==(const Answer&) const = default;
};

enum class Verdict {
    Agrees,
    KnownDifference,      // differs exactly as recorded
    KnownDifferenceGone,  // the model caught up: the record can go
    Differs,
};

struct Judgement {
    Verdict verdict = Verdict::Differs;
    std::string note;  // for anything but plain agreement: why
};

// The verdict for one scenario, given the known difference recorded for it.
Judgement Judge(const Answer& reactos, const Answer& model, const KnownDifference* known);

// Whether the check passes with this verdict.
bool Passes(Verdict verdict);

}  // namespace quarnhold::real_kernel
