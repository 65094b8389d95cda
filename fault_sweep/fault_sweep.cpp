// fault_sweep.cpp

#include "fault_sweep/fault_sweep.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

#include "emulator/hex_text.h"
#include "fault_sweep/failure_groups.h"
#include "testbed/nt_status.h"
#include "testbed/test_bed_error.h"

namespace quarnhold::fault_sweep {
namespace {

using testbed::InjectedFault;
using testbed::KernelCall;
using testbed::Routine;

// A run to make: where it starts and what is injected.
struct PlannedRun {
    const StartingDisk* disk = nullptr;
    testbed::FileSystem fileSystem = testbed::FileSystem::Ntfs;
    std::vector<InjectedFault> faults;
};

// The faults a run can be given at each call after `from`: every swept
// warning and error at every call but DbgPrint, whose return the driver
// ignores; every swept success status at a call that succeeded, since only
// a call that did its work can report a success of its own; and every other
// Information at a ZwCreateFile that succeeded. A call is named by its
// routine and occurrence, which stay put in any run that shares the calls up
// to it.
std::vector<InjectedFault> FaultsAfter(const std::vector<KernelCall>& calls, size_t from)
{
    std::vector<InjectedFault> faults;
    std::map<Routine, unsigned> occurrences;
    for (size_t i = 0; i < calls.size(); ++i) {
        const KernelCall& call = calls[i];
        unsigned occurrence = ++occurrences[call.routine];
        if (i < from || call.routine == Routine::DbgPrint) continue;
        for (testbed::NtStatus status : SweptStatuses()) {
            if (!testbed::NtSuccess(status) || call.status == testbed::status::Success) {
                faults.push_back({call.routine, occurrence, status, std::nullopt});
            }
        }
        if (call.routine == Routine::ZwCreateFile && call.status == testbed::status::Success) {
            for (uint32_t information : SweptInformation()) {
                if (call.information != information) {
                    faults.push_back({call.routine, occurrence, std::nullopt, information});
                }
            }
        }
    }
    return faults;
}

// The index of the call `fault` hits in `calls`.
size_t CallIndex(const std::vector<KernelCall>& calls, const InjectedFault& fault)
{
    unsigned seen = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].routine == fault.routine && ++seen == fault.occurrence) return i;
    }
    return calls.size();
}

// FNV-1a, 64 bits: enough to tell two sweeps' stories apart.
class Digest {
public:
    void Add(std::string_view bytes)
    {
        Add(static_cast<uint64_t>(bytes.size()));
        for (unsigned char byte : bytes) Mix(byte);
    }
    void Add(uint64_t value)
    {
        for (int i = 0; i < 8; ++i) Mix(static_cast<unsigned char>(value >> (8 * i)));
    }
    uint64_t Value() const { return value_; }

private:
    void Mix(unsigned char byte) { value_ = (value_ ^ byte) * 0x100000001B3ull; }
    uint64_t value_ = 0xCBF29CE484222325ull;
};

// The arguments a call carried, bar what differs between the two ways by
// nature (the size of OBJECT_ATTRIBUTES on the caller's target).
void AddArguments(Digest& digest, const KernelCall& call)
{
    if (const std::optional<testbed::CreateFileRequest>& r = call.create) {
        digest.Add(r->desiredAccess);
        digest.Add(uint64_t{r->objectAttributesLength == r->nativeObjectAttributesSize});
        digest.Add(r->attributes);
        digest.Add(uint64_t{r->hasRootDirectory} | uint64_t{r->hasSecurityDescriptor} << 1 |
                   uint64_t{r->hasSecurityQualityOfService} << 2 | uint64_t{r->hasAllocationSize} << 3 |
                   uint64_t{r->hasEaBuffer} << 4 | uint64_t{r->objectName.has_value()} << 5);
        if (r->objectName) {
            digest.Add(uint64_t{r->objectName->length} | uint64_t{r->objectName->maximumLength} << 16);
        }
        digest.Add(r->fileAttributes);
        digest.Add(r->shareAccess);
        digest.Add(r->createDisposition);
        digest.Add(r->createOptions);
        digest.Add(r->eaLength);
    }
    if (const std::optional<testbed::WriteArguments>& w = call.write) {
        digest.Add(uint64_t{w->hasEvent} | uint64_t{w->hasApcRoutine} << 1 | uint64_t{w->hasApcContext} << 2 |
                   uint64_t{w->hasKey} << 3 | uint64_t{w->byteOffset.has_value()} << 4);
        digest.Add(w->length);
        digest.Add(w->data);
    }
    digest.Add(call.format);
}

void AddStory(Digest& digest, const PlannedRun& planned, const RunOutcome& outcome,
              const std::vector<testbed::DiskItem>& disk)
{
    digest.Add(static_cast<uint64_t>(planned.fileSystem));
    digest.Add(outcome.status);
    digest.Add(outcome.fault);
    for (const KernelCall& call : outcome.calls) {
        digest.Add(static_cast<uint64_t>(call.routine));
        digest.Add(call.status);
        digest.Add(call.handle);
        digest.Add(call.information ? uint64_t{*call.information} : uint64_t{1} << 32);
        digest.Add(call.detail);
        AddArguments(digest, call);
    }
    for (const std::string& message : outcome.debugOutput) digest.Add(message);
    for (const testbed::DiskItem& item : disk) {
        digest.Add(item.path);
        digest.Add(static_cast<uint64_t>(item.kind));
        digest.Add(item.content);
    }
}

// Makes planned runs one after another, each on a drive C laid down from
// its starting disk; checks those the filter selects, and keeps the summary.
class Sweep {
public:
    Sweep(const DriverRunner& run, const SweepOptions& options) : run_(run), options_(options), folder_(options.driveC)
    {
    }

    // Makes `planned` when the filter selects it (with listOnly: lists it)
    // or when `neededForPlan`; returns its calls, for planning the runs that
    // build on it, or nothing when it was not made.
    std::vector<KernelCall> Make(const PlannedRun& planned, bool neededForPlan)
    {
        const bool selected = options_.filter.Selects(planned.faults);
        if (selected && options_.listOnly) {
            summary_.planned.push_back({planned.disk->name, planned.fileSystem, planned.faults});
        }
        if (selected && !options_.listOnly) return Check(planned);
        if (!neededForPlan) return {};
        std::vector<testbed::DiskItem> after;
        RunOutcome outcome = Execute(planned, after);
        if (!outcome.testBedError.empty()) Stopped(planned, outcome);
        if (options_.progress) options_.progress(summary_.runs, total_);
        return std::move(outcome.calls);
    }

    uint64_t RunsSoFar() const { return summary_.runs; }
    void SetTotal(uint64_t total) { total_ = total; }
    SweepSummary TakeSummary()
    {
        summary_.storyDigest = digest_.Value();
        summary_.groups = grouping_.Take();
        return std::move(summary_);
    }

private:
    // Makes one planned run and checks it; returns its calls.
    std::vector<KernelCall> Check(const PlannedRun& planned)
    {
        std::vector<testbed::DiskItem> after;
        RunOutcome outcome = Execute(planned, after);
        if (!outcome.testBedError.empty()) {
            Stopped(planned, outcome);
            if (options_.progress) options_.progress(summary_.runs, total_);
            return std::move(outcome.calls);
        }
        AddStory(digest_, planned, outcome, after);

        std::vector<BrokenRunRule> broken = CheckRun(outcome, {planned.disk->items, after}, planned.faults);
        uint64_t injected = 0;
        for (const KernelCall& call : outcome.calls) {
            injected += call.injected;
        }
        ++summary_.runs;
        summary_.faultsInjected += injected;
        summary_.rulesBroken += broken.size();
        if (broken.empty()) {
            ++summary_.runsHeld;
        } else {
            FailedRun failed{planned.disk->name, planned.fileSystem, planned.faults, std::move(broken),
                             outcome.bugCheck};
            grouping_.Add(failed);
            if (summary_.failures.size() < options_.keptFailures) summary_.failures.push_back(std::move(failed));
        }
        if (options_.progress) options_.progress(summary_.runs, total_);
        return std::move(outcome.calls);
    }

    // Makes `planned` on drive C, in memory or on the folder; a host failure
    // is the outcome's testBedError.
    RunOutcome Execute(const PlannedRun& planned, std::vector<testbed::DiskItem>& after)
    {
        RunOutcome outcome;
        try {
            outcome = folder_ ? RunOnFolder(planned, after) : RunInMemory(planned, after);
        } catch (const testbed::TestBedError& failure) {
            outcome.testBedError = failure.what();
        }
        return outcome;
    }

    // Counts a run the host stopped: whether checked or made for the plan,
    // the sweep is short of what it set out to do.
    void Stopped(const PlannedRun& planned, const RunOutcome& outcome)
    {
        ++summary_.runs;
        ++summary_.environmentFailures;
        if (summary_.environment.size() < options_.keptStopped) {
            summary_.environment.push_back(
                {planned.disk->name, planned.fileSystem, planned.faults, outcome.testBedError});
        }
    }

    // Runs `planned` on a fresh memory volume laid down from its disk, and
    // reads the volume back into `after` when the run kept its record.
    RunOutcome RunInMemory(const PlannedRun& planned, std::vector<testbed::DiskItem>& after)
    {
        auto volume = std::make_shared<testbed::MemoryVolume>(planned.disk->items);
        RunOutcome outcome = run_(SetupInMemory(*planned.disk, volume, planned.fileSystem, planned.faults));
        if (outcome.testBedError.empty() && !outcome.recordLost && planned.disk->driveC) after = volume->Items();
        return outcome;
    }

    // Runs `planned` on the folder, laid down from its disk unless the last
    // run left it as laid, and reads the folder back into `after` when the
    // run kept its record.
    RunOutcome RunOnFolder(const PlannedRun& planned, std::vector<testbed::DiskItem>& after)
    {
        const bool reuse = intact_ == planned.disk;
        intact_ = nullptr;  // until this run is read back whole
        if (!reuse) {
            testbed::Clear(*folder_);
            testbed::LayDown(*folder_, planned.disk->items);
        }
        RunOutcome outcome = run_(SetupFor(*planned.disk, *folder_, planned.fileSystem, planned.faults));
        if (outcome.testBedError.empty() && !outcome.recordLost) {
            after = testbed::ReadDisk(*folder_);
            if (after == LaidItems(*planned.disk)) intact_ = planned.disk;
        }
        return outcome;
    }

    // `disk`'s items as ReadDisk gives them back once laid down: sorted by
    // path. Kept for the disk asked last, since runs come disk by disk.
    const std::vector<testbed::DiskItem>& LaidItems(const StartingDisk& disk)
    {
        if (sortedFor_ != &disk) {
            sorted_ = disk.items;
            std::sort(sorted_.begin(), sorted_.end(),
                      [](const testbed::DiskItem& a, const testbed::DiskItem& b) { return a.path < b.path; });
            sortedFor_ = &disk;
        }
        return sorted_;
    }

    const DriverRunner& run_;
    const SweepOptions& options_;
    // The folder that stands in for drive C; none: each run's drive C is
    // held in memory.
    std::optional<std::filesystem::path> folder_;
    // The starting disk the folder holds as laid down, when the last run
    // was read back whole and found it so; then the next run from that disk
    // starts on it without clearing and laying it down again. That is sound
    // because ReadDisk sees everything of drive C a run can change: the
    // model only creates names, writes and truncates (new names and
    // contents, which ReadDisk reads); it never renames, removes, changes
    // the mode of or sets the times of what it found, nor reads any
    // mode bit but the write bits (ReadDisk's read-only) or any time; its
    // descriptors, and the share modes, locks and delete dispositions it
    // keeps, are its own and go with it at the end of the run, and it holds
    // no host lock. Whatever is in doubt (the first run, a test-bed error, a
    // record lost with a dead worker, a disk read back other than laid, a
    // run from another disk) clears and lays the disk down again.
    const StartingDisk* intact_ = nullptr;
    const StartingDisk* sortedFor_ = nullptr;
    std::vector<testbed::DiskItem> sorted_;
    SweepSummary summary_;
    FailureGrouping grouping_;
    Digest digest_;
    uint64_t total_ = 0;
};

}  // namespace

const std::vector<testbed::NtStatus>& SweptStatuses()
{
    namespace status = testbed::status;
    // No STATUS_PENDING: a call on a synchronous handle never returns it, as
    // the I/O manager waits. STATUS_OPLOCK_BREAK_IN_PROGRESS stands in its
    // place as the informational status a create can return with a handle.
    static const std::vector<testbed::NtStatus> statuses{
        status::Unsuccessful,          status::AccessDenied,   status::SharingViolation,      status::DiskFull,
        status::InsufficientResources, status::BufferOverflow, status::OplockBreakInProgress, status::ObjectNameExists};
    return statuses;
}

const std::vector<uint32_t>& SweptInformation()
{
    // FILE_SUPERSEDED, FILE_OPENED, FILE_CREATED, FILE_DOES_NOT_EXIST, and a
    // value no file system gives.
    static const std::vector<uint32_t> information{0, 1, 2, 5, 0xFFFFFFFF};
    return information;
}

SweepSummary RunSweep(const DriverRunner& run, const std::vector<StartingDisk>& disks, const SweepOptions& options)
{
    auto started = std::chrono::steady_clock::now();
    Sweep sweep(run, options);

    // Single faults first: what each of those runs calls decides where the
    // second fault of a pair can go.
    std::vector<PlannedRun> pairs;
    std::map<testbed::FileSystem, uint64_t> disksOn;
    for (const StartingDisk& disk : disks) {
        for (testbed::FileSystem fileSystem : FileSystemsOf(disk)) {
            if (!options.filter.TakesFileSystem(fileSystem)) continue;
            ++disksOn[fileSystem];
            std::vector<KernelCall> calls = sweep.Make({&disk, fileSystem, {}}, true);
            for (const InjectedFault& first : FaultsAfter(calls, 0)) {
                std::vector<KernelCall> faulted = sweep.Make({&disk, fileSystem, {first}}, options.pairs);
                if (!options.pairs) continue;
                for (const InjectedFault& second : FaultsAfter(faulted, CallIndex(faulted, first) + 1)) {
                    PlannedRun pair{&disk, fileSystem, {first, second}};
                    if (options.filter.Selects(pair.faults)) pairs.push_back(std::move(pair));
                }
            }
        }
    }
    sweep.SetTotal(options.listOnly ? 0 : sweep.RunsSoFar() + pairs.size());
    for (const PlannedRun& pair : pairs) {
        sweep.Make(pair, false);
    }
    SweepSummary summary = sweep.TakeSummary();
    summary.disksOnNtfs = disksOn[testbed::FileSystem::Ntfs];
    summary.disksOnFat = disksOn[testbed::FileSystem::Fat];
    summary.elapsed = std::chrono::steady_clock::now() - started;
    return summary;
}

std::string SummaryLine(const SweepSummary& summary, std::string_view filter)
{
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f s", std::chrono::duration<double>(summary.elapsed).count());
    std::string environment;
    if (summary.environmentFailures != 0) {
        environment = ", " + std::to_string(summary.environmentFailures) +
                      (summary.environmentFailures == 1 ? " run" : " runs") + " stopped by a test-bed error";
    }
    const std::string sweep = filter.empty() ? "fault sweep" : "filtered fault sweep (" + std::string(filter) + ")";
    return sweep + ": " + std::to_string(summary.runs) + (summary.runs == 1 ? " run" : " runs") + " from " +
           std::to_string(summary.disksOnNtfs) + (summary.disksOnNtfs == 1 ? " starting disk" : " starting disks") +
           " on NTFS and " + std::to_string(summary.disksOnFat) + " on FAT, " + std::to_string(summary.faultsInjected) +
           " faults injected, " + std::to_string(summary.runsHeld) + " runs held every rule, " +
           std::to_string(summary.rulesBroken) + " rules broken" + environment + " (" + seconds + ")";
}

std::string DescribeFaults(const std::vector<testbed::InjectedFault>& faults)
{
    if (faults.empty()) return "no fault";
    std::string text;
    for (const InjectedFault& fault : faults) {
        if (!text.empty()) text += ", ";
        text += std::string(testbed::RoutineName(fault.routine)) + " #" + std::to_string(fault.occurrence);
        if (fault.status) {
            text += " returns " + testbed::DescribeStatus(*fault.status);
        } else if (fault.information) {
            text += " succeeds with Information " + emulator::Hex(*fault.information);
        }
    }
    return text;
}

}  // namespace quarnhold::fault_sweep
