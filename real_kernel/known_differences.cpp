// known_differences.cpp

#include "real_kernel/known_differences.h"

namespace quarnhold::real_kernel {

const std::vector<KnownDifference>& KnownDifferences()
{
    // None: in every scenario ReactOS answers as the model does. A write to a
    // directory differed until the model gained FAT's answer (FastFAT's
    // FatCommonWrite: STATUS_INVALID_PARAMETER).
    static const std::vector<KnownDifference> differences{};
    return differences;
}

const KnownDifference* FindKnownDifference(const std::string& scenario)
{
    for (const KnownDifference& difference : KnownDifferences()) {
        if (difference.scenario == scenario) return &difference;
    }
    return nullptr;
}

}  // namespace quarnhold::real_kernel
