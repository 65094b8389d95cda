// run_verdict.h
//
// The verdict of a single run: the rules of a sound run the sweep holds each
// of its runs to, applied to this one, with drive C as it was before the run
// and after. A sweep's failed run, repeated alone, breaks the same rules and
// shows the same lines.

#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fault_sweep/run_rules.h"

namespace quarnhold::tools {

// What the disk rule reads of drive C: nothing when there is none.
// Throws TestBedError when the host refuses a read.
std::vector<testbed::DiskItem> ReadRuledDriveC(const std::optional<std::filesystem::path>& driveC);

// "verdict: the run held every rule", or "verdict: the run broke 2 rules:"
// and each broken rule as the sweep lists it, "  <rule>: <detail>".
void WriteVerdict(const std::vector<fault_sweep::BrokenRunRule>& broken, std::ostream& out);

// {"held": true|false, "broken": [...]}, with the rules as
// BrokenRulesJson gives them.
nlohmann::ordered_json VerdictJson(const std::vector<fault_sweep::BrokenRunRule>& broken);

// The one line on standard error for a run that broke rules: "the run broke
// 2 rules: run-sequence, handles-closed".
std::string VerdictReason(const std::vector<fault_sweep::BrokenRunRule>& broken);

}  // namespace quarnhold::tools
