// faults_taken.cpp

#include "tools/faults_taken.h"

#include "fault_sweep/run_rules.h"

namespace quarnhold::tools {

std::vector<FaultTaken> FaultsTaken(const std::vector<testbed::InjectedFault>& asked,
                                    const fault_sweep::RunOutcome& outcome)
{
    std::vector<FaultTaken> taken;
    for (const testbed::InjectedFault& fault : asked) {
        FaultTaken entry{fault, std::nullopt, ""};
        if (!outcome.recordLost) {
            // The same reason the faults-took-effect rule gives.
            std::optional<std::string> why = fault_sweep::WhyFaultMissed(fault, outcome.calls);
            entry.tookEffect = !why;
            entry.why = why.value_or("");
        }
        taken.push_back(entry);
    }
    return taken;
}

}  // namespace quarnhold::tools
