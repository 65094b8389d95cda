// kernel_model.cpp

#include "testbed/kernel_model.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <stdexcept>
#include <utility>
#include <variant>

#include "testbed/host_volume.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/nt_flag_names.h"
#include "testbed/object_namespace.h"
#include "testbed/share_access.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// Host pointers can be 64-bit; handles and guest pointers print as 8 digits.
std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string_view DispositionName(uint32_t disposition)
{
    return CreateDispositionName(disposition).value_or("invalid disposition");
}

std::string_view InformationName(uint32_t information)
{
    return CreateInformationName(information).value_or("unexpected information");
}

std::string DisplayName(const CreateFileRequest& request)
{
    if (request.unreadable) {
        return "(" + std::string(CallerRecordName(request.unreadable->record)) + " unreadable)";
    }
    if (!request.objectName) {
        return "(no name)";
    }
    return "\"" + Utf16ToUtf8(request.objectName->text).value_or("(not UTF-16)") + "\"";
}

bool Overwrites(uint32_t disposition)
{
    return disposition == nt::FileSupersede || disposition == nt::FileOverwrite || disposition == nt::FileOverwriteIf;
}

}  // namespace

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

std::string_view FileSystemName(FileSystem fileSystem)
{
    return fileSystem == FileSystem::Fat ? "FAT" : "NTFS";
}

std::string_view FileSystemOption(FileSystem fileSystem)
{
    return fileSystem == FileSystem::Fat ? "fat" : "ntfs";
}

std::string DescribeBugCheck(const BugCheck& bugCheck)
{
    std::string text = "bug check " + Hex(bugCheck.code) + " " + bugCheck.name + " (";
    for (size_t i = 0; i < bugCheck.parameters.size(); ++i) {
        text += (i == 0 ? "" : ", ") + Hex(bugCheck.parameters[i]);
    }
    return text + "): " + bugCheck.reason;
}

KernelModel::KernelModel(DriveC driveC, std::vector<InjectedFault> faults, const std::vector<ForeignOpen>& foreignOpens)
    : driveC_(std::move(driveC)), faults_(std::move(faults))
{
    if (driveC_.volume) {
        volume_ = driveC_.volume;
    } else if (driveC_.folder) {
        volume_ = std::make_shared<HostVolume>(*driveC_.folder);
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

// ZwCreateFile
//
// Opens or creates the named file or directory; on success the handle goes
// into the table and Information says what happened.
CreateFileResult KernelModel::CreateFile(const CreateFileRequest& request)
{
    std::string detail = DisplayName(request) + " access " + Hex(request.desiredAccess) + " share " +
                         Hex(request.shareAccess) + " " + std::string(DispositionName(request.createDisposition)) +
                         " options " + Hex(request.createOptions);
    BeginCall("ZwCreateFile(" + detail + ")");
    const InjectedFault* fault = NextFault(Routine::ZwCreateFile);
    auto record = [&](const CreateFileResult& result, std::string outcome, bool injected) {
        Record(Routine::ZwCreateFile, result.status, result.handle, detail, std::move(outcome), result.information,
               injected)
            .create = request;
        recordBytes_ += request.objectName ? request.objectName->text.size() * sizeof(char16_t) : 0;
        return result;
    };
    if (std::optional<NtStatus> refused = CheckCallerRecords(request)) {
        return record({*refused, 0, std::nullopt}, DescribeStatus(*refused), false);
    }
    // A warning or an error comes back with no handle and nothing done.
    if (fault && fault->status && !NtSuccess(*fault->status)) {
        return record({*fault->status, 0, std::nullopt}, "injected " + DescribeStatus(*fault->status), true);
    }

    FileObject object;
    CreateFileResult result = Create(request, object);
    if (result.status != status::Success) {
        return record(result, DescribeStatus(result.status), false);
    }
    // A success status the file system chose comes with the handle, as
    // NT_SUCCESS says there is one.
    std::string outcome;
    bool injected = false;
    if (fault && fault->status) {
        result.status = *fault->status;
        outcome = "injected " + DescribeStatus(result.status) + ", ";
        injected = true;
    }
    // An Information equal to the one the file system gave changes nothing:
    // no fault took effect.
    if (fault && fault->information && fault->information != result.information) {
        result.information = fault->information;
        outcome += "injected ";
        injected = true;
    }
    uint32_t index = nextHandleIndex_++;
    result.handle = (request.attributes & nt::ObjKernelHandle ? KernelHandleBit : 0) | (index * 4);
    handles_.emplace(result.handle, std::move(object));
    ++counts_.opened;
    outcome += std::string(InformationName(*result.information)) + ", handle " + Hex(result.handle);
    return record(result, std::move(outcome), injected);
}

// Judges the records ZwCreateFile takes from its caller, in the order NT captures them; runs first
// in every ZwCreateFile, before any injected fault can hide a broken rule. Returns NT's refusal.
std::optional<NtStatus> KernelModel::CheckCallerRecords(const CreateFileRequest& request)
{
    if (!request.hasFileHandle || !request.hasIoStatusBlock || !request.hasObjectAttributes) {
        Break("ZwCreateFile called without FileHandle, IoStatusBlock or ObjectAttributes");
        return status::AccessViolation;
    }
    // Memory behind a refusal is never reached, so it is not judged.
    auto unreadable = [&](CallerRecord record) {
        if (!request.unreadable || request.unreadable->record != record) return false;
        BreakUnreadable(*request.unreadable);
        return true;
    };
    if (unreadable(CallerRecord::ObjectAttributes)) {
        return status::AccessViolation;
    }
    if (request.objectAttributesLength != request.nativeObjectAttributesSize) {
        Break("ObjectAttributes->Length is " + std::to_string(request.objectAttributesLength) +
              ", not sizeof(OBJECT_ATTRIBUTES) " + std::to_string(request.nativeObjectAttributesSize));
        return status::InvalidParameter;
    }
    if (unreadable(CallerRecord::ObjectName)) {
        return status::AccessViolation;
    }
    if (!request.objectName) {
        return status::ObjectNameInvalid;
    }
    const CountedName& name = *request.objectName;
    if (name.length % 2 != 0) {
        Break("ObjectName->Length " + std::to_string(name.length) + " is odd: it counts the bytes of UTF-16 units");
        return status::ObjectNameInvalid;
    }
    if (name.length > name.maximumLength) {
        Break("ObjectName->Length " + std::to_string(name.length) + " exceeds its MaximumLength " +
              std::to_string(name.maximumLength));
        return status::ObjectNameInvalid;
    }
    if (unreadable(CallerRecord::ObjectNameBuffer)) {
        return status::AccessViolation;
    }
    if (!(request.attributes & nt::ObjKernelHandle)) {
        Break("ZwCreateFile without OBJ_KERNEL_HANDLE: the handle is reachable from the process the driver runs in");
    }
    return std::nullopt;
}

std::optional<NtStatus> KernelModel::CheckCreateParameters(const CreateFileRequest& request)
{
    if (request.hasRootDirectory) {
        Break("ZwCreateFile relative to a RootDirectory is not modelled");
        return status::NotSupported;
    }
    uint32_t options = request.createOptions;
    bool synchronous = options & (nt::FileSynchronousIoAlert | nt::FileSynchronousIoNonalert);
    if (request.createDisposition > nt::FileMaximumDisposition || (request.shareAccess & ~nt::FileShareValidFlags) ||
        (request.fileAttributes & ~nt::FileAttributeValidFlags) || (options & ~nt::FileValidOptionFlags) ||
        ((options & nt::FileDirectoryFile) && (options & nt::FileNonDirectoryFile)) ||
        ((options & nt::FileSynchronousIoAlert) && (options & nt::FileSynchronousIoNonalert)) ||
        (synchronous && !(MapGenericFileAccess(request.desiredAccess) & (nt::Synchronize | nt::MaximumAllowed)))) {
        return status::InvalidParameter;
    }
    if ((options & nt::FileDirectoryFile) && request.createDisposition != nt::FileCreate &&
        request.createDisposition != nt::FileOpen && request.createDisposition != nt::FileOpenIf) {
        return status::InvalidParameter;
    }
    return std::nullopt;
}

CreateFileResult KernelModel::Create(const CreateFileRequest& request, FileObject& object)
{
    if (std::optional<NtStatus> refused = CheckCreateParameters(request)) {
        return {*refused, 0, std::nullopt};
    }
    auto resolved = ResolveObjectName(request.objectName->text, volume_ ? u"C" : u"");
    if (const NtStatus* failed = std::get_if<NtStatus>(&resolved)) {
        return {*failed, 0, std::nullopt};
    }
    const VolumePath& path = std::get<VolumePath>(resolved);
    // FAT compares names upcased whatever the caller asks; NTFS honours a
    // case-sensitive open.
    const bool caseInsensitive = (request.attributes & nt::ObjCaseInsensitive) || driveC_.fileSystem == FileSystem::Fat;
    VolumeLookup lookup = volume_->Find(path.components, caseInsensitive);
    if (lookup.status != status::Success) {
        return {lookup.status, 0, std::nullopt};
    }

    uint32_t access = MapGenericFileAccess(request.desiredAccess);
    object.shareAccess = request.shareAccess;
    object.synchronous = request.createOptions & (nt::FileSynchronousIoAlert | nt::FileSynchronousIoNonalert);

    uint32_t information = nt::FileOpened;
    NtStatus status = lookup.node ? OpenExisting(request, *lookup.node, access, object, information)
                                  : CreateNew(request, *lookup.parent, path.components.back(), access, object);
    if (status != status::Success) {
        return {status, 0, std::nullopt};
    }
    if (!lookup.node) {
        information = nt::FileCreated;
    }
    return {status::Success, 0, information};
}

// Opens what is already there, in the order a file system checks: the
// disposition, the kind of object, the volume's and the file's protection,
// then share access.
NtStatus KernelModel::OpenExisting(const CreateFileRequest& request, const VolumeNode& node, uint32_t access,
                                   FileObject& object, uint32_t& information)
{
    uint32_t disposition = request.createDisposition;
    if (node.kind == NodeKind::Other) {
        return status::IoReparseTagNotHandled;
    }
    // Before the disposition is looked at: FILE_CREATE meets it too.
    if (DeletePending(node)) {
        return status::DeletePending;
    }
    if (disposition == nt::FileCreate) {
        return status::ObjectNameCollision;
    }
    bool directory = node.kind == NodeKind::Directory;
    if (directory && (request.createOptions & nt::FileNonDirectoryFile)) {
        return status::FileIsADirectory;
    }
    if (!directory && (request.createOptions & nt::FileDirectoryFile)) {
        return status::NotADirectory;
    }
    bool overwrite = Overwrites(disposition);
    if (directory && overwrite) {
        return status::FileIsADirectory;
    }
    // NTFS refuses write access to anything on a write-protected volume;
    // FAT refuses only what would truncate, and lets the write itself fail.
    const bool refusesWriteAccess = driveC_.writeProtected && driveC_.fileSystem == FileSystem::Ntfs;
    if (access & nt::MaximumAllowed) {
        access = (access & ~nt::MaximumAllowed) | nt::FileAllAccess;
        if (refusesWriteAccess || node.readOnly) {
            access &= ~nt::ModifyingAccess;
        }
    }
    if (driveC_.writeProtected && ((refusesWriteAccess && (access & nt::ModifyingAccess)) || overwrite)) {
        return status::MediaWriteProtected;
    }
    if (node.readOnly && ((access & (nt::FileWriteData | nt::FileAppendData)) || overwrite)) {
        return status::AccessDenied;
    }
    if (!ShareAllows(node, access, request.shareAccess)) {
        return status::SharingViolation;
    }
    object.node = node;
    // A file that may be written is opened for writing now, so that every
    // write through this handle goes to the very file this open found.
    if (!directory && ((access & (nt::FileWriteData | nt::FileAppendData)) || overwrite)) {
        if (NtStatus opened = volume_->OpenForWriting(object.node); opened != status::Success) {
            return opened;
        }
    }
    if (overwrite) {
        if (NtStatus truncated = volume_->Truncate(object.node); truncated != status::Success) {
            return truncated;
        }
        diskEvents_.push_back({DiskEvent::Kind::Truncated, node.volumePath, 0, 0});
        information = disposition == nt::FileSupersede ? nt::FileSuperseded : nt::FileOverwritten;
    } else {
        information = nt::FileOpened;
    }
    object.grantedAccess = access;
    return status::Success;
}

// Creates the missing last component as a directory (FILE_DIRECTORY_FILE)
// or an empty file.
NtStatus KernelModel::CreateNew(const CreateFileRequest& request, const VolumeNode& parent, std::u16string_view name,
                                uint32_t access, FileObject& object)
{
    if (request.createDisposition == nt::FileOpen || request.createDisposition == nt::FileOverwrite) {
        return status::ObjectNameNotFound;
    }
    if (DeletePending(parent)) {
        return status::DeletePending;
    }
    if (driveC_.writeProtected) {
        return status::MediaWriteProtected;
    }
    bool directory = request.createOptions & nt::FileDirectoryFile;
    NtStatus status = directory ? volume_->CreateDirectory(parent, name, object.node)
                                : volume_->CreateFile(parent, name, object.node);
    if (status != status::Success) {
        return status;
    }
    diskEvents_.push_back(
        {directory ? DiskEvent::Kind::CreatedDirectory : DiskEvent::Kind::CreatedFile, object.node.volumePath, 0, 0});
    object.grantedAccess = access & nt::MaximumAllowed ? (access & ~nt::MaximumAllowed) | nt::FileAllAccess : access;
    return status::Success;
}

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
    uint64_t offset = 0;
    if (NtStatus placed = PlaceWrite(file, request, offset); placed != status::Success) {
        return refuse(placed);
    }

    std::span<const uint8_t> data = request.data.first(std::min<size_t>(request.data.size(), request.length));
    if (!data.empty()) {
        if (NtStatus written = volume_->WriteAt(file.node, offset, data); written != status::Success) {
            return refuse(written);
        }
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
// would: a directory, no write access, a bad offset, a range past what the
// file system can hold, a lock another open holds, a write-protected volume,
// or more new bytes than the volume has free. Runs before anything is written.
NtStatus KernelModel::PlaceWrite(const FileObject& file, const WriteFileRequest& request, uint64_t& offset)
{
    const bool fat = driveC_.fileSystem == FileSystem::Fat;
    if (file.node.kind == NodeKind::Directory) {
        return fat ? status::InvalidParameter : status::InvalidDeviceRequest;
    }
    if (!(file.grantedAccess & (nt::FileWriteData | nt::FileAppendData))) {
        return status::AccessDenied;
    }
    const uint64_t size = volume_->SizeOf(file.node);
    bool appendOnly = !(file.grantedAccess & nt::FileWriteData);
    if (appendOnly || (request.byteOffset && *request.byteOffset == nt::FileWriteToEndOfFile)) {
        offset = size;
    } else if (!request.byteOffset || *request.byteOffset == nt::FileUseFilePointerPosition) {
        // Only a synchronous handle has a position to write at.
        if (!file.synchronous) {
            return status::InvalidParameter;
        }
        offset = file.position;
    } else if (*request.byteOffset >= 0) {
        offset = static_cast<uint64_t>(*request.byteOffset);
    } else {
        return status::InvalidParameter;
    }
    const uint64_t length = std::min<uint64_t>(request.data.size(), request.length);
    if (length == 0) {
        return status::Success;  // nothing to write, nothing to refuse
    }
    const uint64_t end = offset + length;  // offset < 2^63 and length < 2^32: no overflow
    // A FAT file's size is a 32-bit field.
    if (fat && end > 0xFFFFFFFFull) {
        return status::DiskFull;
    }
    if (LockedByOthers(file.node, offset, length)) {
        return status::FileLockConflict;
    }
    if (driveC_.writeProtected) {
        return status::MediaWriteProtected;
    }
    // Files are not sparse: every cluster up to the new end is allocated, so
    // growth beyond the volume's free space is refused before any byte moves.
    if (end > size && end - size > volume_->FreeBytes()) {
        return status::DiskFull;
    }
    return status::Success;
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

// ZwClose
//
// Closes a handle the table holds. An injected status is returned after the
// close, as ZwClose on a valid handle always closes it. A handle that is not
// open raises INVALID_KERNEL_HANDLE, as NT does for a kernel-mode caller.
NtStatus KernelModel::Close(uint32_t handle)
{
    BeginCall("ZwClose(" + Hex(handle) + ")");
    const InjectedFault* fault = NextFault(Routine::ZwClose);
    if (!CheckHandle(handle, Routine::ZwClose)) {
        // From kernel mode this is no status but a stopped machine.
        bugCheck_ = BugCheck{InvalidKernelHandle,
                             "INVALID_KERNEL_HANDLE",
                             {handle, 1, 0, 0},
                             "ZwClose(" + Hex(handle) + ") of a handle that is not open"};
        Record(Routine::ZwClose, status::InvalidHandle, handle, "handle " + Hex(handle), DescribeBugCheck(*bugCheck_));
        return status::InvalidHandle;
    }
    handles_.erase(handle);
    closedHandles_.insert(handle);
    ++counts_.closed;
    bool injected = fault && fault->status;
    NtStatus status = injected ? *fault->status : status::Success;
    Record(Routine::ZwClose, status, handle, "handle " + Hex(handle),
           (injected ? "injected " : "") + DescribeStatus(status), std::nullopt, injected);
    return status;
}

// DbgPrint
//
// Formats the message and keeps its bytes, one entry per call, cut at the
// kernel's 512-byte limit.
void KernelModel::DebugPrint(std::string_view format, FormatArguments& arguments)
{
    // Spelt out only when asked for: most messages break no rule and stop
    // no run, and the conversion is a visible share of a sweep run.
    BeginCall({});
    currentFormat_.assign(format);
    currentIsDebugPrint_ = true;
    FormattedMessage message = FormatDebugMessage(format, arguments);
    for (std::string& problem : message.problems) {
        Break("DbgPrint: " + problem);
    }
    if (message.bytes.size() > DebugPrintLimit) {
        message.bytes.resize(DebugPrintLimit);
        Break("DbgPrint: message cut at " + std::to_string(DebugPrintLimit) + " bytes");
    }
    Record(Routine::DbgPrint, status::Success, 0, "\"" + GbkToUtf8(message.bytes) + "\"", "").format = format;
    recordBytes_ += format.size() + message.bytes.size();
    debugOutput_.push_back(std::move(message.bytes));
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
