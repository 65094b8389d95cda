// kernel_model.h
//
// The model of the NT kernel that both ways of running the driver meet: the
// "\??\c:" link and the volume behind it, ZwCreateFile / ZwWriteFile /
// ZwClose with NT's semantics and statuses, a handle table that counts every
// open and close, share access between opens, DbgPrint's output kept as raw
// bytes, and faults injected on request.

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "testbed/debug_print_format.h"
#include "testbed/kernel_requests.h"
#include "testbed/volume.h"

namespace quarnhold::testbed {

enum class Routine { ZwCreateFile, ZwWriteFile, ZwClose, DbgPrint };
std::string_view RoutineName(Routine routine);

// The file system drive C is formatted with. They answer our calls alike
// but for a few refusals (see the model section of the README).
enum class FileSystem { Ntfs, Fat };
std::string_view FileSystemName(FileSystem fileSystem);  // "NTFS" or "FAT"
// "ntfs" or "fat", as quarnhold-run's --file-system takes it.
std::string_view FileSystemOption(FileSystem fileSystem);

// Drive C as a run sees it.
struct DriveC {
    // The host folder behind "\??\c:"; nothing: the link does not exist,
    // unless `volume` is there.
    std::optional<std::filesystem::path> folder;
    // The volume refuses to create anything and to write.
    bool writeProtected = false;
    FileSystem fileSystem = FileSystem::Ntfs;
    // In place of a folder: a volume the caller holds, and reads back after
    // the run (a MemoryVolume, for the fault sweep).
    std::shared_ptr<Volume> volume = nullptr;
};

// Makes the `occurrence`-th call (from 1) of `routine` behave differently.
// A warning or error status (NT_SUCCESS false): the call does nothing and
// returns it. A success or informational status: the call does its work, and
// if that succeeds returns the status in place of STATUS_SUCCESS, with the
// handle of a create, as NT hands one out with any status NT_SUCCESS holds
// for. Only an information value: the call runs and, if it succeeds, reports
// that value; one equal to what the call reports anyway changes nothing, and
// the call is not counted as injected.
struct InjectedFault {
    Routine routine = Routine::ZwCreateFile;
    unsigned occurrence = 1;
    std::optional<NtStatus> status;
    std::optional<uint32_t> information;
};

// Bytes [offset, offset + length) of a file.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// An open made by someone other than the driver before it runs, such as
// another program holding test.txt.
struct ForeignOpen {
    std::u16string path;  // an object name, e.g. u"\\??\\c:\\Quarnhold\\test.txt"
    uint32_t desiredAccess = 0;
    uint32_t shareAccess = 0;
    // The holder has set the delete disposition: until it closes, the name
    // can be neither opened nor created again.
    bool deletePending = false;
    // A byte-range lock the holder took through this open.
    std::optional<ByteRange> lock;
};

// ZwWriteFile's arguments as the kernel read them, kept after the call.
struct WriteArguments {
    bool hasEvent = false;
    bool hasApcRoutine = false;
    bool hasApcContext = false;
    bool hasIoStatusBlock = true;
    std::string data;  // the first bytes at Buffer: as many as were readable, RecordedWriteBytes at most
    uint32_t length = 0;
    std::optional<int64_t> byteOffset;
    bool hasKey = false;
};

// One kernel call, as the model answered it.
struct KernelCall {
    Routine routine = Routine::DbgPrint;
    NtStatus status = status::Success;
    uint32_t handle = 0;  // the handle returned, written to or closed
    // What went into the caller's IoStatusBlock.Information; nothing when the
    // block was left alone.
    std::optional<uint32_t> information;
    bool injected = false;  // the status or Information came from an InjectedFault
    std::string detail;     // the arguments and outcome, for a trace
    // The outcome alone, as `detail` ends after " -> ": "FILE_CREATED, handle
    // 0x80000004", "injected STATUS_DISK_FULL (0xC000007F)"; empty for DbgPrint.
    std::string outcome;
    // Where the call came from: its return address, relative to the base of
    // the image that made it. Known only when an image runs on the emulated
    // CPU; a host-linked driver has no image.
    std::optional<uint32_t> callerRva;

    // What the caller passed, for the check against the driver's contract:
    // ZwCreateFile's request, ZwWriteFile's arguments, DbgPrint's format bytes.
    std::optional<CreateFileRequest> create;
    std::optional<WriteArguments> write;
    std::string format;
};

// A bug check the model raised: NT would have stopped the machine there.
struct BugCheck {
    uint32_t code = 0;
    std::string name;  // e.g. "INVALID_KERNEL_HANDLE"
    std::array<uint32_t, 4> parameters{};
    std::string reason;  // what the caller did
};

// "bug check 0x00000093 INVALID_KERNEL_HANDLE (0x80000004, 0x00000001,
// 0x00000000, 0x00000000): ZwClose of ...", the same line on both ways.
std::string DescribeBugCheck(const BugCheck& bugCheck);

// Thrown by the host-linked routines to stop the host-compiled driver
// where the emulated CPU stops: a bug check, or a record grown too large.
class RunStop : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The model raised a bug check: the machine would stop there.
class BugCheckStop : public RunStop {
public:
    explicit BugCheckStop(const BugCheck& bugCheck) : RunStop(DescribeBugCheck(bugCheck)) {}
};

// A kernel rule the caller broke, as a driver verifier reports it. Any one
// fails the run.
struct BrokenRule {
    std::string rule;  // what was wrong
    std::string call;  // the call that broke it, with its arguments
};

// What a run did to the volume, in order.
struct DiskEvent {
    enum class Kind { CreatedDirectory, CreatedFile, Wrote, Truncated };
    Kind kind = Kind::CreatedFile;
    std::string volumePath;  // as named on disk, '\'-separated
    uint64_t offset = 0;
    uint64_t length = 0;
};

// A file the run wrote, as it is now.
struct WrittenFile {
    std::string volumePath;  // as named when first written, '\'-separated
    FileGlimpse now;
};

struct OpenHandle {
    uint32_t handle = 0;
    std::string volumePath;
    uint32_t grantedAccess = 0;
    bool directory = false;
};

struct HandleCounts {
    unsigned opened = 0;
    unsigned closed = 0;
};

class KernelModel {
public:
    // Throws TestBedError when drive C's folder cannot be opened, and
    // std::runtime_error when a foreign open cannot be made.
    //
    // A routine whose host work fails in a way NT has no answer for throws
    // TestBedError (see HostVolume) and leaves the call unanswered: the run
    // ends there. The host-linked routines let it unwind through the
    // host-compiled driver to whoever called DriverEntry; the emulated CPU's
    // traps catch it and stop the CPU.
    explicit KernelModel(DriveC driveC, std::vector<InjectedFault> faults = {},
                         const std::vector<ForeignOpen>& foreignOpens = {});

    // The four routines.
    CreateFileResult CreateFile(const CreateFileRequest& request);
    WriteFileResult WriteFile(const WriteFileRequest& request);
    NtStatus Close(uint32_t handle);
    void DebugPrint(std::string_view format, FormatArguments& arguments);

    // What the run produced.
    const std::vector<std::string>& DebugOutput() const { return debugOutput_; }
    const std::vector<KernelCall>& Calls() const { return calls_; }
    const std::vector<DiskEvent>& DiskEvents() const { return diskEvents_; }
    // What a driver verifier would have stopped the run for.
    const std::vector<BrokenRule>& BrokenRules() const { return brokenRules_; }
    // The bug check a call raised; whoever carries the calls must stop the
    // run when one is there.
    const std::optional<BugCheck>& RaisedBugCheck() const { return bugCheck_; }
    std::vector<OpenHandle> OpenHandles() const;
    HandleCounts Counts() const { return counts_; }
    // "ZwClose(0x80000004)": the call answered last, or being answered.
    std::string CallInProgress() const;
    // The next call comes from this return address, relative to the calling
    // image's base; its record keeps it. Whoever carries the calls says so
    // before each, when it knows.
    void NoteCaller(std::optional<uint32_t> rva) { nextCallerRva_ = rva; }
    // Why the run must stop after the call just answered, when its record
    // (the calls with their arguments, the messages, the broken rules) has
    // grown past RecordLimit; whoever carries the calls stops the run there,
    // so that no driver can make the record take the host's memory.
    std::optional<std::string> RecordFull() const;
    // Each file the run wrote, by the name it was first written under, as
    // the file itself holds it now (whatever its names lead to by now): its
    // size and first `headBytes` bytes. Throws TestBedError when the host
    // cannot read one back, or one has more than one hard link.
    std::vector<WrittenFile> WrittenFiles(size_t headBytes) const;

    // Added to every handle value the model gives out for OBJ_KERNEL_HANDLE
    // opens, as on i386 NT.
    static constexpr uint32_t KernelHandleBit = 0x80000000;
    // DbgPrint sends at most this many bytes per call.
    static constexpr size_t DebugPrintLimit = 512;
    // INVALID_KERNEL_HANDLE: ZwClose from kernel mode of a handle that is not open.
    static constexpr uint32_t InvalidKernelHandle = 0x93;
    // What a run's record may hold, and what of a write's data it keeps.
    static constexpr size_t RecordLimit = 32u << 20;
    static constexpr size_t RecordedWriteBytes = 64u << 10;

private:
    struct FileObject {
        VolumeNode node;
        uint32_t grantedAccess = 0;
        uint32_t shareAccess = 0;
        bool synchronous = false;
        uint64_t position = 0;
        bool deletePending = false;
        std::optional<ByteRange> lock;
    };

    // ZwCreateFile's work once the fault injection has let it through.
    CreateFileResult Create(const CreateFileRequest& request, FileObject& opened);
    std::optional<NtStatus> CheckCallerRecords(const CreateFileRequest& request);
    std::optional<NtStatus> CheckCreateParameters(const CreateFileRequest& request);
    bool CheckHandle(uint32_t handle, Routine routine);
    NtStatus OpenExisting(const CreateFileRequest& request, const VolumeNode& node, uint32_t access, FileObject& object,
                          uint32_t& information);
    NtStatus CreateNew(const CreateFileRequest& request, const VolumeNode& parent, std::u16string_view name,
                       uint32_t access, FileObject& object);
    bool ShareAllows(const VolumeNode& node, uint32_t access, uint32_t share) const;
    bool DeletePending(const VolumeNode& node) const;
    bool LockedByOthers(const VolumeNode& node, uint64_t offset, uint64_t length) const;
    // Where and how a write lands, or the status that refuses it.
    NtStatus PlaceWrite(const FileObject& file, const WriteFileRequest& request, uint64_t& offset);

    // The fault for this call of `routine`, if one was injected.
    const InjectedFault* NextFault(Routine routine);
    // Keeps the call; its detail is `arguments`, and " -> " and `outcome`
    // when there is one.
    KernelCall& Record(Routine routine, NtStatus status, uint32_t handle, const std::string& arguments,
                       std::string outcome, std::optional<uint32_t> information = std::nullopt,
                       bool injected = false);
    // Notes a broken rule against the call in progress.
    void Break(std::string rule)
    {
        BrokenRule& broken = brokenRules_.emplace_back(BrokenRule{std::move(rule), CallInProgress()});
        recordBytes_ += sizeof(BrokenRule) + broken.rule.size() + broken.call.size();
    }
    // Notes the call being answered from here on.
    void BeginCall(std::string call);
    void BreakUnreadable(const UnreadableRecord& unreadable);

    DriveC driveC_;
    std::shared_ptr<Volume> volume_;  // none: no drive C
    std::vector<InjectedFault> faults_;
    std::map<Routine, unsigned> callCounts_;

    std::map<uint32_t, FileObject> handles_;
    std::set<uint32_t> closedHandles_;  // values are never given out twice, so a closed one stays closed
    std::vector<FileObject> foreignOpens_;
    uint32_t nextHandleIndex_ = 1;
    HandleCounts counts_;

    std::vector<std::string> debugOutput_;
    std::vector<KernelCall> calls_;
    std::vector<DiskEvent> diskEvents_;
    std::map<std::string, VolumeNode> written_;  // each file written, held, by its first name
    std::vector<BrokenRule> brokenRules_;
    size_t recordBytes_ = 0;  // what the record above holds, roughly
    std::optional<BugCheck> bugCheck_;
    std::optional<uint32_t> nextCallerRva_;  // see NoteCaller
    std::string currentCall_;  // "ZwClose(0x80000004)": the call being answered
    // A DbgPrint being answered: its format, as the caller gave it (GBK).
    bool currentIsDebugPrint_ = false;
    std::string currentFormat_;
};

}  // namespace quarnhold::testbed
