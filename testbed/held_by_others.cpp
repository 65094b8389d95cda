// held_by_others.cpp
//
// Module: what other openers hold.
//
// Abstract: the opens made before the driver runs (another program holding
// test.txt or the work directory) and the driver's own open handles, as the
// create and write requests meet them: share access (IoCheckShareAccess), a
// delete disposition set by a holder, and byte-range locks
// (FsRtlCheckLockForWriteAccess).

#include "testbed/kernel_model.h"
#include "testbed/share_access.h"

namespace quarnhold::testbed {

bool KernelModel::ShareAllows(const VolumeNode& node, uint32_t access, uint32_t share) const
{
    std::vector<ShareState> existing;
    for (const auto& [handle, object] : handles_) {
        if (volume_->SameObject(object.node, node)) existing.push_back({object.grantedAccess, object.shareAccess});
    }
    for (const FileObject& object : foreignOpens_) {
        if (volume_->SameObject(object.node, node)) existing.push_back({object.grantedAccess, object.shareAccess});
    }
    return ShareAccessAllows(existing, {access, share});
}

// True when another holder has set the delete disposition on `node`; a file
// system then refuses every create or open of the name.
bool KernelModel::DeletePending(const VolumeNode& node) const
{
    for (const FileObject& object : foreignOpens_) {
        if (object.deletePending && volume_->SameObject(object.node, node)) return true;
    }
    return false;
}

// True when a byte-range lock another open holds on `node` overlaps the
// range; shared or exclusive, it keeps every other open's writes out.
bool KernelModel::LockedByOthers(const VolumeNode& node, uint64_t offset, uint64_t length) const
{
    for (const FileObject& object : foreignOpens_) {
        if (!object.lock || !volume_->SameObject(object.node, node)) continue;
        const ByteRange& lock = *object.lock;
        if (length != 0 && lock.length != 0 && offset < lock.offset + lock.length && lock.offset < offset + length) {
            return true;
        }
    }
    return false;
}

}  // namespace quarnhold::testbed
