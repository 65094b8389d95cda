// kernel_model.cpp
//
// Module: the kernel model's core.
//
// Abstract: drive C set up once (the volume, its write protection, its
// clusters, the opens others hold), the handle table, the record of every
// call, and the injected faults. Each routine the driver calls is answered in
// a file of its own: zw_create_file.cpp, zw_write_file.cpp, zw_close.cpp,
// dbg_print.cpp; what other openers hold is judged in held_by_others.cpp.

#include "testbed/kernel_model.h"

#include <stdexcept>
#include <utility>
#include <variant>

#include "testbed/host_volume.h"
#include "testbed/model_text.h"
#include "testbed/object_namespace.h"
#include "testbed/share_access.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {

std::string_view RoutineName(Routine routine)
{
    switch (routine) {
        case Routine::ZwCreateFile:
            return "ZwCreateFile";
        case Routine::ZwWriteFile:
            return "ZwWriteFile";
        case Routine::ZwClose:
            return "ZwClose";
        case Routine::DbgPrint:
            return "DbgPrint";
    }
    return "?";
}

// Sets drive C up: the volume behind the link, its write protection and
// its free clusters, decided here once for the whole run, and the opens
// others hold on it.
KernelModel::KernelModel(DriveC driveC, std::vector<InjectedFault> faults, const std::vector<ForeignOpen>& foreignOpens)
    : answers_(&AnswersOf(driveC.fileSystem)),
      writeProtected_(driveC.writeProtected),
      allocation_(driveC.space),
      faults_(std::move(faults))
{
    if (driveC.volume) {
        volume_ = std::move(driveC.volume);
    } else if (driveC.folder) {
        auto host = std::make_shared<HostVolume>(*driveC.folder);
        // A folder the host mounts read-only is a write-protected volume: the
        // file system's rules answer, and no host refusal decides for them.
        writeProtected_ = writeProtected_ || host->ReadOnlyMount();
        volume_ = std::move(host);
    }
    for (const ForeignOpen& foreign : foreignOpens) {
        auto resolved = ResolveObjectName(foreign.path, volume_ ? u"C" : u"");
        const VolumePath* path = std::get_if<VolumePath>(&resolved);
        std::optional<VolumeNode> node;
        if (path) {
            node = volume_->Find(path->components, true).node;
        }
        uint32_t access = MapGenericFileAccess(foreign.desiredAccess);
        if (!node || !ShareAllows(*node, access, foreign.shareAccess)) {
            throw std::runtime_error("cannot hold " + Utf16ToUtf8(foreign.path).value_or("?") + " open");
        }
        foreignOpens_.push_back(
            FileObject{*node, access, foreign.shareAccess, false, 0, foreign.deletePending, foreign.lock});
    }
}

const InjectedFault* KernelModel::NextFault(Routine routine)
{
    unsigned occurrence = ++callCounts_[routine];
    for (const InjectedFault& fault : faults_) {
        if (fault.routine == routine && fault.occurrence == occurrence) {
            return &fault;
        }
    }
    return nullptr;
}

KernelCall& KernelModel::Record(Routine routine, NtStatus status, uint32_t handle, const std::string& arguments,
                                std::string outcome, std::optional<uint32_t> information, bool injected)
{
    KernelCall& call = calls_.emplace_back();
    call.routine = routine;
    call.status = status;
    call.handle = handle;
    call.information = information;
    call.injected = injected;
    call.detail = outcome.empty() ? arguments : arguments + " -> " + outcome;
    call.outcome = std::move(outcome);
    call.callerRva = std::exchange(nextCallerRva_, std::nullopt);
    recordBytes_ += sizeof(KernelCall) + call.detail.size() + call.outcome.size();
    return call;
}

// Notes what is wrong with a handle: not a kernel handle, never given out, or closed already;
// runs on entry to ZwWriteFile and ZwClose. True when the handle is open.
bool KernelModel::CheckHandle(uint32_t handle, Routine routine)
{
    const bool closing = routine == Routine::ZwClose;
    const std::string use = std::string(RoutineName(routine)) + (closing ? " of handle " : " on handle ") + Hex(handle);
    if (!(handle & KernelHandleBit)) {
        Break(use + ", which is not a kernel handle: without " + Hex(KernelHandleBit) +
              " it names a slot in whatever process the driver runs in");
    }
    if (handles_.contains(handle)) {
        return true;
    }
    if (closedHandles_.contains(handle)) {
        Break(use + ", which is already closed: " + (closing ? "closed twice" : "used after close"));
    } else {
        Break(use + ", which was never given out");
    }
    return false;
}

// Notes a pointer into caller memory that cannot be read; runs when a check reaches the record
// the request marks unreadable, which on real NT is where the machine stops.
void KernelModel::BreakUnreadable(const UnreadableRecord& unreadable)
{
    Break(std::string(CallerRecordName(unreadable.record)) + " at " + Hex(unreadable.address) +
          " cannot be read: NT does not probe a kernel-mode caller's pointers, so the access bug-checks");
}

void KernelModel::BeginCall(std::string call)
{
    currentCall_ = std::move(call);
    currentIsDebugPrint_ = false;
}

std::string KernelModel::CallInProgress() const
{
    return currentIsDebugPrint_ ? "DbgPrint(\"" + GbkToUtf8(currentFormat_) + "\")" : currentCall_;
}

std::optional<std::string> KernelModel::RecordFull() const
{
    if (recordBytes_ <= RecordLimit) return std::nullopt;
    return "the run's record (its " + std::to_string(calls_.size()) + " kernel calls with their arguments, " +
           std::to_string(debugOutput_.size()) + " messages and " + std::to_string(brokenRules_.size()) +
           " broken rules) passed " + std::to_string(RecordLimit >> 20) + " MiB, so the run stops";
}

std::vector<WrittenFile> KernelModel::WrittenFiles(size_t headBytes) const
{
    std::vector<WrittenFile> files;
    for (const auto& [path, node] : written_) {
        files.push_back({path, volume_->Glimpse(node, headBytes)});
    }
    return files;
}

std::vector<OpenHandle> KernelModel::OpenHandles() const
{
    std::vector<OpenHandle> open;
    for (const auto& [handle, object] : handles_) {
        open.push_back({handle, object.node.volumePath, object.grantedAccess, object.node.kind == NodeKind::Directory});
    }
    return open;
}

}  // namespace quarnhold::testbed
