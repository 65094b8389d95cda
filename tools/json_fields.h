// json_fields.h
//
// The parts quarnhold-run's JSON records share: the schema version, the
// error object of a run that could not be made, the rules a run broke, a bug
// check, a fault. Fields are only ever added to these records, never renamed
// or removed; the schema version goes up only if that promise is broken.

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fault_sweep/run_rules.h"
#include "testbed/kernel_model.h"

namespace quarnhold::tools {

inline constexpr int JsonSchema = 1;

// Text that is not UTF-8 (a guest's bytes) is written with U+FFFD for what
// cannot be shown.
inline constexpr auto JsonErrors = nlohmann::ordered_json::error_handler_t::replace;

// A record as written: indented by two, one line feed after.
std::string JsonText(const nlohmann::ordered_json& record);

// {"schema": 1, "error": {"kind": ..., "message": ..., "exitStatus": ...}}
nlohmann::ordered_json ErrorRecord(std::string_view kind, std::string_view message, int exitStatus);

// [{"id": "handles-closed", "rule": "every handle closed exactly once",
// "detail": "handle ... was left open"}, ...]
nlohmann::ordered_json BrokenRulesJson(const std::vector<fault_sweep::BrokenRunRule>& broken);

// null, or {"code": "0x00000093", "name": "INVALID_KERNEL_HANDLE",
// "parameters": [four hex strings], "reason": ...}.
nlohmann::ordered_json BugCheckJson(const std::optional<testbed::BugCheck>& bugCheck);

// {"fault": "ZwWriteFile#1=0xC000007F", "routine", "occurrence", "status"
// (hex or null), "statusName" (or null), "information" (hex or null)}.
nlohmann::ordered_json FaultJson(const testbed::InjectedFault& fault);

}  // namespace quarnhold::tools
