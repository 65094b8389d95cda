// zw_write_file.cpp
//
// Module: ZwWriteFile.
//
// Abstract: the write request: the caller's side as the I/O manager checks
// it (NtWriteFile), then the file system's (FatCommonWrite): where the write
// lands, and the refusals a directory, the access granted, the file's size
// limit, another opener's lock, the volume's protection and its free
// clusters give.

#include <algorithm>

#include "testbed/kernel_model.h"
#include "testbed/model_text.h"
#include "testbed/nt_file_definitions.h"

namespace quarnhold::testbed {

// ZwWriteFile
//
// Writes at the given offset, or at the handle's position when there is
// none; never truncates.
WriteFileResult KernelModel::WriteFile(const WriteFileRequest& request)
{
    std::string detail = "handle " + Hex(request.handle) + " length " + std::to_string(request.length);
    BeginCall("ZwWriteFile(" + detail + ")");
    const InjectedFault* fault = NextFault(Routine::ZwWriteFile);
    auto finish = [&](NtStatus status, std::optional<uint32_t> information, std::string outcome, bool injected) {
        KernelCall& call =
            Record(Routine::ZwWriteFile, status, request.handle, detail, std::move(outcome), information, injected);
        call.write = WriteArguments{request.hasEvent,
                                    request.hasApcRoutine,
                                    request.hasApcContext,
                                    request.hasIoStatusBlock,
                                    std::string(request.data.begin(),
                                                request.data.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                           request.data.size(), RecordedWriteBytes))),
                                    request.length,
                                    request.byteOffset,
                                    request.hasKey};
        recordBytes_ += call.write->data.size();
        return WriteFileResult{status, information};
    };
    auto refuse = [&](NtStatus status) { return finish(status, std::nullopt, DescribeStatus(status), false); };

    // The caller's side first, so that an injected fault never hides a
    // broken rule. The I/O manager copies a buffered write's data before any
    // driver sees it, so an unreadable Buffer is reached whatever the file.
    if (!request.hasIoStatusBlock) {
        Break("ZwWriteFile called without an IoStatusBlock");
        return refuse(status::AccessViolation);
    }
    if (!CheckHandle(request.handle, Routine::ZwWriteFile)) {
        return refuse(status::InvalidHandle);
    }
    if (request.unreadable) {
        BreakUnreadable(*request.unreadable);
        return refuse(status::AccessViolation);
    }
    // A warning or an error: nothing is written.
    if (fault && fault->status && !NtSuccess(*fault->status)) {
        return finish(*fault->status, std::nullopt, "injected " + DescribeStatus(*fault->status), true);
    }
    FileObject& file = handles_.at(request.handle);
    PlacedWrite placed;
    if (NtStatus refused = PlaceWrite(file, request, placed); refused != status::Success) {
        return refuse(refused);
    }
    const uint64_t offset = placed.offset;

    std::span<const uint8_t> data = request.data.first(std::min<size_t>(request.data.size(), request.length));
    if (!data.empty()) {
        if (NtStatus written = volume_->WriteAt(file.node, offset, data); written != status::Success) {
            return refuse(written);
        }
        allocation_.Take(placed.newClusters);
        diskEvents_.push_back({DiskEvent::Kind::Wrote, file.node.volumePath, offset, data.size()});
        written_.try_emplace(file.node.volumePath, file.node);
    }
    if (file.synchronous) {
        file.position = offset + data.size();
    }
    // A success status the file system chose comes after the write is done.
    const NtStatus status = fault && fault->status ? *fault->status : status::Success;
    uint32_t information = fault && fault->information ? *fault->information : static_cast<uint32_t>(data.size());
    // An Information equal to the bytes written changes nothing.
    const bool injected = fault && (fault->status || information != data.size());
    std::string outcome = "wrote " + std::to_string(data.size()) + " bytes at offset " + std::to_string(offset);
    if (fault && fault->status) outcome = "injected " + DescribeStatus(status) + ", " + outcome;
    return finish(status, information, outcome, injected);
}

// Decides where a write on `file` lands, and refuses it as the file system
// would (FatCommonWrite): a directory, no write access, a bad offset, a range
// past what the file can hold, a lock another open holds, a write-protected
// volume, or growth past the file's clusters with too few free. Runs before
// anything is written.
NtStatus KernelModel::PlaceWrite(const FileObject& file, const WriteFileRequest& request, PlacedWrite& placed)
{
    if (file.node.kind == NodeKind::Directory) {
        return answers_->writeToDirectory;
    }
    if (!(file.grantedAccess & (nt::FileWriteData | nt::FileAppendData))) {
        return status::AccessDenied;
    }
    const uint64_t size = volume_->SizeOf(file.node);
    bool appendOnly = !(file.grantedAccess & nt::FileWriteData);
    if (appendOnly || (request.byteOffset && *request.byteOffset == nt::FileWriteToEndOfFile)) {
        placed.offset = size;
    } else if (!request.byteOffset || *request.byteOffset == nt::FileUseFilePointerPosition) {
        // Only a synchronous handle has a position to write at.
        if (!file.synchronous) {
            return status::InvalidParameter;
        }
        placed.offset = file.position;
    } else if (*request.byteOffset >= 0) {
        placed.offset = static_cast<uint64_t>(*request.byteOffset);
    } else {
        return status::InvalidParameter;
    }
    const uint64_t length = std::min<uint64_t>(request.data.size(), request.length);
    if (length == 0) {
        return status::Success;  // nothing to write, nothing to refuse
    }
    const uint64_t end = placed.offset + length;  // offset < 2^63 and length < 2^32: no overflow
    if (answers_->fileEndLimit && end > *answers_->fileEndLimit) {
        return status::DiskFull;
    }
    if (LockedByOthers(file.node, placed.offset, length)) {
        return status::FileLockConflict;
    }
    if (writeProtected_) {
        return status::MediaWriteProtected;
    }
    // Files are not sparse: a write past the file's clusters takes every
    // cluster up to its end, and is refused before any byte moves when there
    // are not that many free. One that ends inside them takes none.
    placed.newClusters = end > size ? allocation_.ClustersToReach(size, end) : 0;
    if (!allocation_.CanTake(placed.newClusters)) {
        return status::DiskFull;
    }
    return status::Success;
}

}  // namespace quarnhold::testbed
