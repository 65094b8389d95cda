// known_differences.h
//
// Where ReactOS's answer is known to differ from the model's, with the
// evidence of what Windows answers there.

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "testbed/scratch_disk.h"

namespace quarnhold::real_kernel {

enum class DifferenceKind {
    // ReactOS answers otherwise than Windows, and the model follows Windows:
    // the check expects ReactOS's answer from ReactOS and Windows' from the
    // model.
    RefereeDiffersFromWindows,
    // ReactOS answers as Windows does and the model does not yet: the check
    // expects ReactOS's answer, and says so when the model catches up.
    ModelAwaitsFix,
};

struct KnownDifference {
    std::string scenario;
    DifferenceKind kind;
    std::string reactosMessages;  // ReactOS's bytes, concatenated (GBK)
    // ReactOS's disk afterwards, when it differs from the model's too.
    std::optional<std::vector<testbed::DiskItem>> reactosDisk;
    std::string what;      // one line: what differs
    std::string evidence;  // where Windows' answer is written down
    // Where ReactOS stops while the driver runs, when it does: its messages
    // are those before the stop, and its disk is not compared (the machine
    // halts before its cache reaches the disk).
    std::optional<std::string> reactosStop = std::nullopt;
    // What the install script comes to on ReactOS, when that differs.
    std::optional<std::string> reactosScript = std::nullopt;
};

const std::vector<KnownDifference>& KnownDifferences();

// The known difference recorded for `scenario`, or nothing.
const KnownDifference* FindKnownDifference(const std::string& scenario);

}  // namespace quarnhold::real_kernel
