// zw_create_file.cpp
//
// Module: ZwCreateFile.
//
// Abstract: the create request, in the order NT takes it: the caller's
// records (the object manager's capture), the parameters (IoCreateFile),
// the name through the object namespace to the volume, then the file
// system's open of what exists or create of what does not (FatCommonCreate).

#include <variant>

#include "testbed/kernel_model.h"
#include "testbed/model_text.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/nt_flag_names.h"
#include "testbed/object_namespace.h"
#include "testbed/share_access.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

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
    const bool caseInsensitive = (request.attributes & nt::ObjCaseInsensitive) || answers_->namesAlwaysIgnoreCase;
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
    const bool refusesWriteAccess = writeProtected_ && answers_->writeProtectionRefusesOpenForWriting;
    if (access & nt::MaximumAllowed) {
        access = (access & ~nt::MaximumAllowed) | nt::FileAllAccess;
        if (refusesWriteAccess || node.readOnly) {
            access &= ~nt::ModifyingAccess;
        }
    }
    if (writeProtected_ && ((refusesWriteAccess && (access & nt::ModifyingAccess)) || overwrite)) {
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
    // write through this handle goes to the very file this open found. On a
    // write-protected volume no write will reach it.
    if (!directory && !writeProtected_ && ((access & (nt::FileWriteData | nt::FileAppendData)) || overwrite)) {
        if (NtStatus opened = volume_->OpenForWriting(object.node); opened != status::Success) {
            return opened;
        }
    }
    if (overwrite) {
        // The file's clusters go back to the volume (FatSupersedeOrOverwriteFile
        // truncates the allocation to nothing).
        const uint64_t clusters = allocation_.ClustersOf(volume_->SizeOf(object.node));
        if (NtStatus truncated = volume_->Truncate(object.node); truncated != status::Success) {
            return truncated;
        }
        allocation_.Give(clusters);
        diskEvents_.push_back({DiskEvent::Kind::Truncated, node.volumePath, 0, 0});
        information = disposition == nt::FileSupersede ? nt::FileSuperseded : nt::FileOverwritten;
    } else {
        information = nt::FileOpened;
    }
    object.grantedAccess = access;
    return status::Success;
}

// Creates the missing last component as a directory (FILE_DIRECTORY_FILE)
// or an empty file. An empty file takes no cluster; a directory takes one
// for its "." and ".." entries (FatInitializeDirectoryDirent), and a full
// volume refuses it with STATUS_DISK_FULL.
NtStatus KernelModel::CreateNew(const CreateFileRequest& request, const VolumeNode& parent, std::u16string_view name,
                                uint32_t access, FileObject& object)
{
    if (request.createDisposition == nt::FileOpen || request.createDisposition == nt::FileOverwrite) {
        return status::ObjectNameNotFound;
    }
    if (DeletePending(parent)) {
        return status::DeletePending;
    }
    if (writeProtected_) {
        return status::MediaWriteProtected;
    }
    const bool directory = request.createOptions & nt::FileDirectoryFile;
    const uint64_t clusters = directory ? 1 : 0;
    if (!allocation_.CanTake(clusters)) {
        return status::DiskFull;
    }
    NtStatus status = directory ? volume_->CreateDirectory(parent, name, object.node)
                                : volume_->CreateFile(parent, name, object.node);
    if (status != status::Success) {
        return status;
    }
    allocation_.Take(clusters);
    diskEvents_.push_back(
        {directory ? DiskEvent::Kind::CreatedDirectory : DiskEvent::Kind::CreatedFile, object.node.volumePath, 0, 0});
    object.grantedAccess = access & nt::MaximumAllowed ? (access & ~nt::MaximumAllowed) | nt::FileAllAccess : access;
    return status::Success;
}

}  // namespace quarnhold::testbed
