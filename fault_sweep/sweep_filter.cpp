// sweep_filter.cpp

#include "fault_sweep/sweep_filter.h"

#include <algorithm>

namespace quarnhold::fault_sweep {

bool RunFilter::TakesFileSystem(testbed::FileSystem wanted) const
{
    return !fileSystem || *fileSystem == wanted;
}

bool RunFilter::Selects(const std::vector<testbed::InjectedFault>& faults) const
{
    if (!FiltersFaults()) return true;
    return std::any_of(faults.begin(), faults.end(), [&](const testbed::InjectedFault& fault) {
        const bool onCall =
            calls.empty() || std::any_of(calls.begin(), calls.end(), [&](const FaultedCall& call) {
                return call.routine == fault.routine && (call.occurrence == 0 || call.occurrence == fault.occurrence);
            });
        const bool withStatus = statuses.empty() || (fault.status && std::find(statuses.begin(), statuses.end(),
                                                                               *fault.status) != statuses.end());
        return onCall && withStatus;
    });
}

}  // namespace quarnhold::fault_sweep
