// run_verdict.cpp

#include "tools/run_verdict.h"

#include <map>

#include "fault_sweep/failure_groups.h"
#include "tools/display_text.h"
#include "tools/json_fields.h"

namespace quarnhold::tools {
namespace {

// The rules broken, each once, in the order broken.
std::vector<std::string_view> DistinctRules(const std::vector<fault_sweep::BrokenRunRule>& broken)
{
    return fault_sweep::RulesBroken(fault_sweep::FailedRun{"", testbed::FileSystem::Ntfs, {}, broken});
}

std::string Rules(size_t count)
{
    return std::to_string(count) + (count == 1 ? " rule" : " rules");
}

}  // namespace

std::vector<testbed::DiskItem> ReadRuledDriveC(const std::optional<std::filesystem::path>& driveC)
{
    if (!driveC) return {};
    return fault_sweep::ReadRuledItems(*driveC);
}

void WriteVerdict(const std::vector<fault_sweep::BrokenRunRule>& broken, std::ostream& out)
{
    if (broken.empty()) {
        out << "verdict: the run held every rule\n";
        return;
    }
    out << "verdict: the run broke " << Rules(DistinctRules(broken).size()) << ":\n";
    // A driver can break one rule thousands of times (a kernel rule on every
    // call of a loop): a few lines of each rule say it; --json has them all.
    constexpr size_t ShownPerRule = 10;
    std::map<std::string_view, size_t> seen;
    for (const fault_sweep::BrokenRunRule& rule : broken) {
        if (++seen[rule.rule] <= ShownPerRule) out << "  " << rule.rule << ": " << EscapeControls(rule.detail) << "\n";
    }
    for (const auto& [rule, count] : seen) {
        if (count > ShownPerRule) out << "  " << rule << ": " << count - ShownPerRule << " more, not shown\n";
    }
}

nlohmann::ordered_json VerdictJson(const std::vector<fault_sweep::BrokenRunRule>& broken)
{
    return {{"held", broken.empty()}, {"broken", BrokenRulesJson(broken)}};
}

std::string VerdictReason(const std::vector<fault_sweep::BrokenRunRule>& broken)
{
    const std::vector<std::string_view> rules = DistinctRules(broken);
    std::string ids;
    for (std::string_view rule : rules) {
        ids += (ids.empty() ? "" : ", ") + std::string(fault_sweep::RuleId(rule));
    }
    return "the run broke " + Rules(rules.size()) + ": " + ids;
}

}  // namespace quarnhold::tools
