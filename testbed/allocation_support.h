// allocation_support.h
//
// Module: allocation support.
//
// Abstract: the volume's clusters, as FastFAT's allocsup.c keeps them. A
// file holds whole clusters: as many as its size needs (a file laid down or
// grown by writes has no more). A write that ends inside the clusters a
// file holds takes none, however full the volume (FatCommonWrite adds
// allocation only when the new FileSize passes AllocationSize); growth past
// them takes free clusters or fails with STATUS_DISK_FULL
// (FatAllocateDiskSpace); a new directory takes one cluster for its "." and
// ".." entries (FatInitializeDirectoryDirent); truncation gives a file's
// clusters back. The free space is the model's own, the same for a volume in
// a host folder and one in memory, and never the host's.

#pragma once

#include <cstdint>

namespace quarnhold::testbed {

struct VolumeSpace {
    uint32_t clusterBytes = 4096;
    // 1 GiB: room for any run, and little enough that a write far past it is
    // refused before the test bed holds its bytes.
    uint64_t freeClusters = (uint64_t{1} << 30) / 4096;

    bool operator==(const VolumeSpace&) const = default;
};

class ClusterAllocation {
public:
    // Throws std::invalid_argument unless the cluster size is a power of two
    // from 512 to 64 KiB, as FAT and NTFS format them.
    explicit ClusterAllocation(VolumeSpace space);

    // The clusters a file of `bytes` bytes holds.
    uint64_t ClustersOf(uint64_t bytes) const;
    // The clusters a file of `size` bytes must gain to reach `end`: none
    // when `end` lies inside the clusters it holds.
    uint64_t ClustersToReach(uint64_t size, uint64_t end) const;

    bool CanTake(uint64_t clusters) const { return clusters <= freeClusters_; }
    // Takes free clusters; throws std::logic_error when there are not that
    // many (the caller asks CanTake first).
    void Take(uint64_t clusters);
    void Give(uint64_t clusters);

    uint64_t FreeClusters() const { return freeClusters_; }
    uint32_t ClusterBytes() const { return clusterBytes_; }

private:
    uint32_t clusterBytes_;
    uint64_t freeClusters_;
};

}  // namespace quarnhold::testbed
