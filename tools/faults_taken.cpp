// faults_taken.cpp

#include "tools/faults_taken.h"

#include "emulator/hex_text.h"
#include "testbed/nt_status.h"

namespace quarnhold::tools {

std::vector<FaultTaken> FaultsTaken(const std::vector<testbed::InjectedFault>& asked,
                                    const fault_sweep::RunOutcome& outcome)
{
    std::vector<FaultTaken> taken;
    for (const testbed::InjectedFault& fault : asked) {
        FaultTaken entry{fault, std::nullopt, ""};
        if (outcome.recordLost) {
            taken.push_back(entry);
            continue;
        }
        const std::string routine(testbed::RoutineName(fault.routine));
        const std::string call = routine + " #" + std::to_string(fault.occurrence);
        unsigned seen = 0;
        const testbed::KernelCall* hit = nullptr;
        for (const testbed::KernelCall& made : outcome.calls) {
            if (made.routine == fault.routine && ++seen == fault.occurrence) hit = &made;
        }
        entry.tookEffect = hit != nullptr && hit->injected;
        if (hit == nullptr) {
            entry.why = "there was no " + call + ": the driver made " + std::to_string(seen) + " " + routine +
                        (seen == 1 ? " call" : " calls");
        } else if (!hit->injected && !fault.status && hit->status != testbed::status::Success) {
            entry.why = call + " failed with " + testbed::DescribeStatus(hit->status) +
                        ", so it reported no Information to replace";
        } else if (!hit->injected && !fault.status && hit->information == fault.information) {
            entry.why = call + " reported Information " + emulator::Hex(*fault.information) +
                        " itself, so the same value changed nothing";
        } else if (!hit->injected) {
            entry.why =
                call + " was answered with " + testbed::DescribeStatus(hit->status) + " before the fault applied";
        }
        taken.push_back(entry);
    }
    return taken;
}

}  // namespace quarnhold::tools
