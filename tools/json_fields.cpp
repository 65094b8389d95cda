// json_fields.cpp

#include "tools/json_fields.h"

#include "emulator/hex_text.h"
#include "testbed/nt_status.h"
#include "tools/fault_option.h"

namespace quarnhold::tools {

using emulator::Hex;
using Json = nlohmann::ordered_json;

std::string JsonText(const Json& record)
{
    return record.dump(2, ' ', false, JsonErrors) + "\n";
}

Json ErrorRecord(std::string_view kind, std::string_view message, int exitStatus)
{
    return {{"schema", JsonSchema}, {"error", {{"kind", kind}, {"message", message}, {"exitStatus", exitStatus}}}};
}

Json BrokenRulesJson(const std::vector<fault_sweep::BrokenRunRule>& broken)
{
    Json rules = Json::array();
    for (const fault_sweep::BrokenRunRule& rule : broken) {
        rules.push_back({{"id", fault_sweep::RuleId(rule.rule)}, {"rule", rule.rule}, {"detail", rule.detail}});
    }
    return rules;
}

Json BugCheckJson(const std::optional<testbed::BugCheck>& bugCheck)
{
    if (!bugCheck) return nullptr;
    Json parameters = Json::array();
    for (uint32_t parameter : bugCheck->parameters) parameters.push_back(Hex(parameter, 8));
    return {{"code", Hex(bugCheck->code, 8)},
            {"name", bugCheck->name},
            {"parameters", parameters},
            {"reason", bugCheck->reason}};
}

Json FaultJson(const testbed::InjectedFault& fault)
{
    const bool named = fault.status && !testbed::StatusName(*fault.status).empty();
    return {{"fault", FaultOption(fault)},
            {"routine", testbed::RoutineName(fault.routine)},
            {"occurrence", fault.occurrence},
            {"status", fault.status ? Json(Hex(*fault.status, 8)) : Json(nullptr)},
            {"statusName", named ? Json(testbed::StatusName(*fault.status)) : Json(nullptr)},
            {"information", fault.information ? Json(Hex(*fault.information)) : Json(nullptr)}};
}

}  // namespace quarnhold::tools
