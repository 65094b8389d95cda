// run_rules.cpp
//
// The run sequence is checked by replaying it against the kernel's answers:
// walking the recorded calls, each step's create must be followed by exactly
// the message its status and Information call for, a close of the handle it
// returned whenever it returned one (any status NT_SUCCESS holds for), and
// nothing else. The expectation is written here from the messages as the
// test bed knows them, not from the driver. The arguments of every call are
// held against the driver's contract (driver_contract.cpp), and the disk
// after a successful write against what the write must leave.

#include "fault_sweep/run_rules.h"

#include <algorithm>
#include <system_error>

#include "emulator/hex_text.h"
#include "fault_sweep/driver_contract.h"
#include "fault_sweep/expected_messages.h"
#include "fault_sweep/fault_sweep.h"
#include "testbed/nt_status.h"
#include "testbed/test_bed_error.h"
#include "testbed/text_encoding.h"

namespace quarnhold::fault_sweep {
namespace {

using testbed::KernelCall;
using testbed::Routine;

// Handles as the model's trace writes them: eight hex digits.
std::string Hex(uint32_t value)
{
    return emulator::Hex(value, 8);
}

// Walks a run's calls in order, comparing each with the next one the run
// sequence calls for; the first difference ends the walk.
class SequenceWalk {
public:
    explicit SequenceWalk(const RunOutcome& outcome) : outcome_(outcome) {}

    // The next call, when it is a call of `routine`.
    const KernelCall* Next(Routine routine, std::string_view expected)
    {
        if (broken_) return nullptr;
        if (next_ >= outcome_.calls.size()) {
            Break("the run ended where " + std::string(expected) + " was due");
            return nullptr;
        }
        const KernelCall& call = outcome_.calls[next_];
        if (call.routine != routine) {
            Break(std::string(expected) + " was due, not " + Show(call));
            return nullptr;
        }
        ++next_;
        return &call;
    }

    // The next call is DbgPrint printing `text` (UTF-8) as GBK.
    void Print(const std::string& text)
    {
        std::string expected = "DbgPrint(\"" + text + "\")";
        if (!Next(Routine::DbgPrint, expected)) return;
        const std::string& printed = outcome_.debugOutput.at(prints_++);
        if (testbed::Utf8ToGbk(text) != printed) {
            Break(expected + " was due, not DbgPrint(\"" + testbed::GbkToUtf8(printed) + "\")");
        }
    }

    // The next call is a ZwCreateFile of `path`; returns it.
    const KernelCall* Create(std::string_view path)
    {
        std::string expected = "ZwCreateFile of " + std::string(path);
        const KernelCall* call = Next(Routine::ZwCreateFile, expected);
        std::string quoted = "\"" + std::string(path) + "\"";
        if (call && call->detail.compare(0, quoted.size(), quoted) != 0) {
            Break(expected + " was due, not " + Show(*call));
            return nullptr;
        }
        return call;
    }

    // The next call is ZwClose of `handle`.
    void Close(uint32_t handle)
    {
        std::string expected = "ZwClose(" + Hex(handle) + ")";
        const KernelCall* call = Next(Routine::ZwClose, expected);
        if (call && call->handle != handle) {
            Break(expected + " was due, not " + Show(*call));
        }
    }

    // On a create's failure branch: a status NT_SUCCESS holds for came with
    // a handle, which the step must close after its failure message.
    void CloseIfHanded(const KernelCall& create)
    {
        if (testbed::NtSuccess(create.status)) Close(create.handle);
    }

    // The next call is ZwWriteFile on `handle`; returns it.
    const KernelCall* Write(uint32_t handle)
    {
        std::string expected = "ZwWriteFile on " + Hex(handle);
        const KernelCall* call = Next(Routine::ZwWriteFile, expected);
        if (call && call->handle != handle) {
            Break(expected + " was due, not " + Show(*call));
            return nullptr;
        }
        return call;
    }

    // Nothing follows the last expected call.
    void End()
    {
        if (!broken_ && next_ < outcome_.calls.size()) {
            Break("nothing was due after the exit message, but " + Show(outcome_.calls[next_]) + " came");
        }
    }

    const std::optional<std::string>& Broken() const { return broken_; }

private:
    std::string Show(const KernelCall& call) const
    {
        return std::string(testbed::RoutineName(call.routine)) + "(" + call.detail + ")";
    }
    void Break(std::string what) { broken_ = "kernel call " + std::to_string(next_ + 1) + ": " + std::move(what); }

    const RunOutcome& outcome_;
    size_t next_ = 0;
    size_t prints_ = 0;
    std::optional<std::string> broken_;
};

// The calls and messages the run sequence makes, given what the kernel
// answered to each call.
std::optional<std::string> WalkRunSequence(const RunOutcome& outcome)
{
    SequenceWalk walk(outcome);
    walk.Print(Printed(message::DriverEntry));

    walk.Print(Printed(message::CreatingDirectory));
    if (const KernelCall* directory = walk.Create(WorkDirectoryPath)) {
        if (directory->status != testbed::status::Success) {
            walk.Print(Printed(message::DirectoryFailed, directory->status));
            walk.CloseIfHanded(*directory);
        } else {
            if (directory->information == 2u) walk.Print(Printed(message::DirectoryCreated));
            if (directory->information == 1u) walk.Print(Printed(message::DirectoryOpened));
            walk.Close(directory->handle);
        }
    }

    walk.Print(Printed(message::CreatingFile));
    if (const KernelCall* creation = walk.Create(TestFilePath)) {
        if (creation->status != testbed::status::Success) {
            walk.Print(Printed(message::FileCreateFailed, creation->status));
            walk.CloseIfHanded(*creation);
        } else {
            walk.Print(Printed(message::FileCreated));
            walk.Close(creation->handle);
        }
    }

    walk.Print(Printed(message::OpeningFile));
    if (const KernelCall* open = walk.Create(TestFilePath)) {
        if (open->status != testbed::status::Success) {
            walk.Print(Printed(message::FileOpenFailed, open->status));
            walk.CloseIfHanded(*open);
        } else {
            walk.Print(Printed(message::FileOpened));
            if (const KernelCall* write = walk.Write(open->handle)) {
                walk.Print(write->status != testbed::status::Success ? Printed(message::FileWriteFailed, write->status)
                                                                     : Printed(message::FileWritten));
                walk.Close(open->handle);
            }
        }
    }

    walk.Print(Printed(message::DriverExit));
    walk.End();
    return walk.Broken();
}

// `text` with its ASCII letters in lower case, as the volume matches names.
std::string Lower(std::string text)
{
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// The item of `disk` that is Quarnhold\test.txt, matched without regard to
// ASCII letter case as the volume matches names.
const testbed::DiskItem* TestFileOn(const std::vector<testbed::DiskItem>& disk)
{
    for (const testbed::DiskItem& item : disk) {
        if (Lower(item.path) == "quarnhold/test.txt") return &item;
    }
    return nullptr;
}

// The names in the host folder `folder` that are `name` in any letter case.
std::vector<std::string> NamesLike(const std::filesystem::path& folder, std::string_view name)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::string found = entry->path().filename().string();
        if (Lower(found) == name) names.push_back(std::move(found));
    }
    if (error) throw testbed::TestBedError("list the folder", folder, error.value());
    return names;
}

// After a write that returned 0, test.txt starts with the text, keeps every
// byte it had past it, and is max(20, its old length) long.
std::optional<std::string> CheckTestFile(const RunOutcome& outcome, const DiskChange& disk)
{
    bool written = false;
    for (const KernelCall& call : outcome.calls) {
        written = written || (call.routine == Routine::ZwWriteFile && call.status == testbed::status::Success);
    }
    if (!written) return std::nullopt;
    const testbed::DiskItem* after = TestFileOn(disk.after);
    if (!after || after->kind != testbed::DiskItem::Kind::File) {
        return std::string("the write returned 0, but there is no file Quarnhold\\test.txt");
    }
    const testbed::DiskItem* before = TestFileOn(disk.before);
    const bool hadFile = before && before->kind == testbed::DiskItem::Kind::File;
    const std::string old = hadFile ? before->content : "";
    // A file on a person's own folder may be read only in part (see
    // ReadRuledItems): its size counts what was not read.
    const uint64_t oldSize = old.size() + (hadFile ? before->unreadBytes : 0);
    const uint64_t expectedSize = std::max<uint64_t>(TestFileContent.size(), oldSize);
    const uint64_t afterSize = after->content.size() + after->unreadBytes;
    if (afterSize != expectedSize) {
        return "test.txt is " + std::to_string(afterSize) + " bytes, not " + std::to_string(expectedSize) +
               " (the text over " + std::to_string(oldSize) + " old bytes)";
    }
    if (after->content.compare(0, TestFileContent.size(), TestFileContent) != 0) {
        return "test.txt's first 20 bytes are \"" + testbed::GbkToUtf8(after->content.substr(0, 20)) +
               "\", not the text";
    }
    // Past the text, as far as both were read.
    const size_t compared = std::min(after->content.size(), std::max(old.size(), TestFileContent.size()));
    const std::string kept = old.size() > TestFileContent.size() ? old.substr(TestFileContent.size()) : "";
    if (after->content.compare(TestFileContent.size(), compared - TestFileContent.size(),
                               kept.substr(0, compared - TestFileContent.size())) != 0) {
        return "test.txt's bytes past the text changed";
    }
    return std::nullopt;
}

// Short names for the rules, in the order of rule::All.
constexpr std::array<std::string_view, rule::All.size()> RuleIds{
    "run-completed",  "failure-status",        "run-sequence",  "contract-arguments", "test-file-written",
    "handles-closed", "loader-data-untouched", "shallow-stack", "kernel-rules",       "faults-took-effect"};

}  // namespace

std::string_view RuleId(std::string_view rule)
{
    const auto known = std::find(rule::All.begin(), rule::All.end(), rule);
    return known == rule::All.end() ? std::string_view("unknown") : RuleIds[known - rule::All.begin()];
}

std::vector<BrokenRunRule> CheckRunRules(const RunOutcome& outcome, const DiskChange& disk)
{
    std::vector<BrokenRunRule> broken;
    if (!outcome.fault.empty()) {
        broken.push_back({rule::RunCompleted, outcome.fault});
    }
    // A run that stopped returned nothing: its status is no answer of the
    // driver's.
    if (outcome.fault.empty() && outcome.status != testbed::status::DeviceConfigurationError) {
        broken.push_back({rule::FailureStatus, "returned " + testbed::DescribeStatus(outcome.status)});
    }
    if (std::optional<std::string> walk = WalkRunSequence(outcome)) {
        broken.push_back({rule::RunSequence, *walk});
    }
    if (std::optional<std::string> wrong = CheckContractArguments(outcome.calls)) {
        broken.push_back({rule::ContractArguments, *wrong});
    }
    if (std::optional<std::string> wrong = CheckTestFile(outcome, disk)) {
        broken.push_back({rule::TestFileWritten, *wrong});
    }
    for (const testbed::OpenHandle& open : outcome.openHandles) {
        // The root of the volume has the empty path; shown as NT names it.
        const std::string path = open.volumePath.empty() ? "\\" : open.volumePath;
        broken.push_back({rule::HandlesClosed, "handle " + Hex(open.handle) + " to " + path + " was left open"});
    }
    if (!outcome.driverObjectUntouched) {
        broken.push_back({rule::LoaderDataUntouched, "the DRIVER_OBJECT was read or written"});
    }
    if (!outcome.registryPathUntouched) {
        broken.push_back({rule::LoaderDataUntouched, "the registry path was read or written"});
    }
    if (outcome.peakStackBytes && *outcome.peakStackBytes > PeakStackLimit) {
        broken.push_back({rule::ShallowStack, std::to_string(*outcome.peakStackBytes) + " bytes at the deepest"});
    }
    for (const testbed::BrokenRule& kernel : outcome.brokenRules) {
        broken.push_back({rule::KernelRules, kernel.rule + ", in " + kernel.call});
    }
    return broken;
}

std::optional<std::string> WhyFaultMissed(const testbed::InjectedFault& fault,
                                          const std::vector<testbed::KernelCall>& calls)
{
    const std::string routine(testbed::RoutineName(fault.routine));
    const std::string call = routine + " #" + std::to_string(fault.occurrence);
    unsigned seen = 0;
    const KernelCall* hit = nullptr;
    for (const KernelCall& made : calls) {
        if (made.routine == fault.routine && ++seen == fault.occurrence) hit = &made;
    }
    if (hit == nullptr) {
        return "there was no " + call + ": the driver made " + std::to_string(seen) + " " + routine +
               (seen == 1 ? " call" : " calls");
    }
    if (hit->injected) return std::nullopt;
    if (!fault.status && hit->status != testbed::status::Success) {
        return call + " failed with " + testbed::DescribeStatus(hit->status) +
               ", so it reported no Information to replace";
    }
    if (!fault.status && hit->information == fault.information) {
        return call + " reported Information " + emulator::Hex(*fault.information) +
               " itself, so the same value changed nothing";
    }
    return call + " was answered with " + testbed::DescribeStatus(hit->status) + " before the fault applied";
}

std::vector<BrokenRunRule> CheckRun(const RunOutcome& outcome, const DiskChange& disk,
                                    const std::vector<testbed::InjectedFault>& faults)
{
    if (outcome.recordLost) return {{rule::RunCompleted, outcome.fault}};
    std::vector<BrokenRunRule> broken = CheckRunRules(outcome, disk);
    for (const testbed::InjectedFault& fault : faults) {
        if (std::optional<std::string> why = WhyFaultMissed(fault, outcome.calls)) {
            broken.push_back({rule::FaultsTookEffect, DescribeFaults({fault}) + " never took effect: " + *why});
        }
    }
    return broken;
}

std::vector<testbed::DiskItem> ReadRuledItems(const std::filesystem::path& folder)
{
    // Of a test.txt, the first MiB: a file of any size costs no more.
    // Bytes past it can change only through a write, and the contract rule
    // holds every write to the 20 bytes at the handle's position 0.
    constexpr size_t TestFileHeadBytes = 1 << 20;
    std::vector<testbed::DiskItem> items;
    for (const std::string& directory : NamesLike(folder, "quarnhold")) {
        // Reached without following a link, as the model reaches it.
        std::optional<testbed::DiskItem> item = testbed::ReadDiskItem(folder, directory);
        if (!item) continue;  // gone since it was listed
        const bool isDirectory = item->kind == testbed::DiskItem::Kind::Directory;
        items.push_back(std::move(*item));
        if (!isDirectory) continue;
        for (const std::string& file : NamesLike(folder / directory, "test.txt")) {
            if (std::optional<testbed::DiskItem> found =
                    testbed::ReadDiskItem(folder, directory + "/" + file, TestFileHeadBytes)) {
                items.push_back(std::move(*found));
            }
        }
    }
    std::sort(items.begin(), items.end(),
              [](const testbed::DiskItem& a, const testbed::DiskItem& b) { return a.path < b.path; });
    return items;
}

}  // namespace quarnhold::fault_sweep
