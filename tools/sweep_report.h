// sweep_report.h
//
// What quarnhold-run --sweep shows: the plan, the summary line, and each
// failed run with its faults and the rules it broke; as text or JSON.

#pragma once

#include <filesystem>
#include <ostream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fault_sweep/fault_sweep.h"

namespace quarnhold::tools {

// The lines before the sweep starts: what is swept, from where, with what.
void WriteSweepPlan(const std::filesystem::path& image, std::string_view machine, size_t disks, bool pairs,
                    std::ostream& out);

// Each failed run, with the command that repeats it alone, then the summary
// line.
void WriteSweepText(const std::filesystem::path& image, const fault_sweep::SweepSummary& summary, std::ostream& out);

nlohmann::ordered_json SweepToJson(const std::filesystem::path& image, const fault_sweep::SweepSummary& summary);

}  // namespace quarnhold::tools
