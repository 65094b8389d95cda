// allocation_support.cpp

#include "testbed/allocation_support.h"

#include <stdexcept>
#include <string>

namespace quarnhold::testbed {

ClusterAllocation::ClusterAllocation(VolumeSpace space)
    : clusterBytes_(space.clusterBytes), freeClusters_(space.freeClusters)
{
    const uint32_t bytes = space.clusterBytes;
    if (bytes < 512 || bytes > 65536 || (bytes & (bytes - 1)) != 0) {
        throw std::invalid_argument("a cluster of " + std::to_string(bytes) +
                                    " bytes: a volume's clusters are a power of two from 512 bytes to 64 KiB");
    }
}

uint64_t ClusterAllocation::ClustersOf(uint64_t bytes) const
{
    return bytes / clusterBytes_ + (bytes % clusterBytes_ != 0);
}

uint64_t ClusterAllocation::ClustersToReach(uint64_t size, uint64_t end) const
{
    const uint64_t held = ClustersOf(size), needed = ClustersOf(end);
    return needed > held ? needed - held : 0;
}

void ClusterAllocation::Take(uint64_t clusters)
{
    if (!CanTake(clusters)) {
        throw std::logic_error("took " + std::to_string(clusters) + " clusters of " + std::to_string(freeClusters_) +
                               " free");
    }
    freeClusters_ -= clusters;
}

void ClusterAllocation::Give(uint64_t clusters)
{
    freeClusters_ += clusters;
}

}  // namespace quarnhold::testbed
