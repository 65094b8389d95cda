// run_wire.cpp
//
// Each record is listed field by field once, in a Fields function that both
// the writer and the reader walk. The fields are taken apart with structured
// bindings, so a field added to a record without being added here stops the
// build instead of being dropped on the way to the worker.

#include "isolation/run_wire.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace quarnhold::isolation {
namespace {

using fault_sweep::RunOutcome;
using fault_sweep::RunSetup;

template <class T>
constexpr bool IsPlainValue = std::is_arithmetic_v<T> || std::is_enum_v<T>;

// Appends fields to a byte string.
class Writer {
public:
    template <class... T>
    void operator()(const T&... fields)
    {
        (Put(fields), ...);
    }
    std::string Take() { return std::move(bytes_); }

private:
    template <class T>
    void Put(const T& value)
    {
        if constexpr (IsPlainValue<T>) {
            bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
        } else {
            Fields(*this, const_cast<T&>(value));
        }
    }
    void Put(const std::string& text) { PutUnits(text.data(), text.size(), sizeof(char)); }
    void Put(const std::u16string& text) { PutUnits(text.data(), text.size(), sizeof(char16_t)); }
    void Put(const std::filesystem::path& path) { Put(path.native()); }
    // A rule's name: it goes as text and comes back as the rule's own.
    void Put(std::string_view rule) { PutUnits(rule.data(), rule.size(), sizeof(char)); }
    void Put(std::chrono::nanoseconds duration) { Put(static_cast<int64_t>(duration.count())); }
    template <class T>
    void Put(const std::optional<T>& value)
    {
        Put(value.has_value());
        if (value) Put(*value);
    }
    template <class T>
    void Put(const std::vector<T>& values)
    {
        Put(static_cast<uint64_t>(values.size()));
        for (const T& value : values) Put(value);
    }
    // A count of units, then the units' bytes.
    void PutUnits(const void* data, size_t count, size_t unit)
    {
        Put(static_cast<uint64_t>(count));
        bytes_.append(static_cast<const char*>(data), count * unit);
    }

    std::string bytes_;
};

// Takes fields back out, checking every size against what is left.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    template <class... T>
    void operator()(T&... fields)
    {
        (Get(fields), ...);
    }
    void ExpectEnd() const
    {
        if (!bytes_.empty()) throw WireError(std::to_string(bytes_.size()) + " bytes left over");
    }

private:
    template <class T>
    void Get(T& value)
    {
        if constexpr (IsPlainValue<T>) {
            std::memcpy(&value, Take(sizeof value).data(), sizeof value);
        } else {
            Fields(*this, value);
        }
    }
    void Get(bool& value)
    {
        uint8_t byte = 0;
        std::memcpy(&byte, Take(1).data(), 1);
        if (byte > 1) throw WireError("a flag that is neither 0 nor 1");
        value = byte == 1;
    }
    void Get(std::string& text)
    {
        std::string_view bytes = Take(Count(1));
        text.assign(bytes.data(), bytes.size());
    }
    void Get(std::u16string& text)
    {
        std::string_view bytes = Take(Count(sizeof(char16_t)) * sizeof(char16_t));
        text.resize(bytes.size() / sizeof(char16_t));
        std::memcpy(text.data(), bytes.data(), bytes.size());
    }
    void Get(std::filesystem::path& path)
    {
        std::string native;
        Get(native);
        path = std::move(native);
    }
    void Get(std::string_view& rule)
    {
        std::string_view name = Take(Count(1));
        const auto known = std::find(fault_sweep::rule::All.begin(), fault_sweep::rule::All.end(), name);
        if (known == fault_sweep::rule::All.end()) throw WireError("a rule nobody made: " + std::string(name));
        rule = *known;
    }
    void Get(std::chrono::nanoseconds& duration)
    {
        int64_t count = 0;
        Get(count);
        duration = std::chrono::nanoseconds(count);
    }
    template <class T>
    void Get(std::optional<T>& value)
    {
        bool present = false;
        Get(present);
        value.reset();
        if (present) Get(value.emplace());
    }
    template <class T>
    void Get(std::vector<T>& values)
    {
        // Every element takes at least one byte, which bounds a garbled count.
        const uint64_t count = Count(1);
        values.clear();
        values.reserve(count);
        for (uint64_t i = 0; i < count; ++i) Get(values.emplace_back());
    }

    // A count of things `unit` bytes or more each, no more than what is left
    // could hold. In units, not bytes.
    uint64_t Count(size_t unit)
    {
        uint64_t count = 0;
        std::memcpy(&count, Take(sizeof count).data(), sizeof count);
        if (count > bytes_.size() / unit)
            throw WireError("a length of " + std::to_string(count) + " runs past the end");
        return count;
    }
    std::string_view Take(size_t size)
    {
        if (size > bytes_.size()) throw WireError("cut short");
        std::string_view taken = bytes_.substr(0, size);
        bytes_.remove_prefix(size);
        return taken;
    }

    std::string_view bytes_;
};

template <class A>
void Fields(A& a, testbed::DriveC& v)
{
    // A volume the caller holds stays in its process: a run sent to a worker
    // names a folder.
    if (v.volume) throw std::logic_error("a drive C held by the caller cannot be sent to another process");
    auto& [folder, writeProtected, fileSystem, volume, space] = v;
    a(folder, writeProtected, fileSystem, space);
}

template <class A>
void Fields(A& a, testbed::VolumeSpace& v)
{
    auto& [clusterBytes, freeClusters] = v;
    a(clusterBytes, freeClusters);
}

template <class A>
void Fields(A& a, testbed::InjectedFault& v)
{
    auto& [routine, occurrence, status, information] = v;
    a(routine, occurrence, status, information);
}

template <class A>
void Fields(A& a, testbed::ByteRange& v)
{
    auto& [offset, length] = v;
    a(offset, length);
}

template <class A>
void Fields(A& a, testbed::ForeignOpen& v)
{
    auto& [path, desiredAccess, shareAccess, deletePending, lock] = v;
    a(path, desiredAccess, shareAccess, deletePending, lock);
}

template <class A>
void Fields(A& a, RunSetup& v)
{
    auto& [driveC, faults, foreignOpens, readBackBytes] = v;
    a(driveC, faults, foreignOpens, readBackBytes);
}

template <class A>
void Fields(A& a, testbed::UnreadableRecord& v)
{
    auto& [record, address] = v;
    a(record, address);
}

template <class A>
void Fields(A& a, testbed::CountedName& v)
{
    auto& [length, maximumLength, text] = v;
    a(length, maximumLength, text);
}

template <class A>
void Fields(A& a, testbed::CreateFileRequest& v)
{
    auto& [hasFileHandle, desiredAccess, hasObjectAttributes, objectAttributesLength, nativeObjectAttributesSize,
           hasRootDirectory, objectName, attributes, hasSecurityDescriptor, hasSecurityQualityOfService,
           hasIoStatusBlock, hasAllocationSize, fileAttributes, shareAccess, createDisposition, createOptions,
           hasEaBuffer, eaLength, unreadable] = v;
    a(hasFileHandle, desiredAccess, hasObjectAttributes, objectAttributesLength, nativeObjectAttributesSize,
      hasRootDirectory, objectName, attributes, hasSecurityDescriptor, hasSecurityQualityOfService, hasIoStatusBlock,
      hasAllocationSize, fileAttributes, shareAccess, createDisposition, createOptions, hasEaBuffer, eaLength,
      unreadable);
}

template <class A>
void Fields(A& a, testbed::WriteArguments& v)
{
    auto& [hasEvent, hasApcRoutine, hasApcContext, hasIoStatusBlock, data, length, byteOffset, hasKey] = v;
    a(hasEvent, hasApcRoutine, hasApcContext, hasIoStatusBlock, data, length, byteOffset, hasKey);
}

template <class A>
void Fields(A& a, testbed::KernelCall& v)
{
    auto& [routine, status, handle, information, injected, detail, outcome, callerRva, create, write, format] = v;
    a(routine, status, handle, information, injected, detail, outcome, callerRva, create, write, format);
}

template <class A>
void Fields(A& a, testbed::OpenHandle& v)
{
    auto& [handle, volumePath, grantedAccess, directory] = v;
    a(handle, volumePath, grantedAccess, directory);
}

template <class A>
void Fields(A& a, testbed::HandleCounts& v)
{
    auto& [opened, closed] = v;
    a(opened, closed);
}

template <class A>
void Fields(A& a, testbed::BrokenRule& v)
{
    auto& [rule, call] = v;
    a(rule, call);
}

template <class A>
void Fields(A& a, testbed::DiskEvent& v)
{
    auto& [kind, volumePath, offset, length] = v;
    a(kind, volumePath, offset, length);
}

template <class A>
void Fields(A& a, emulator::GuestFault& v)
{
    auto& [what, address, lastKernelCall, lastCallReturnAddress, cameFrom] = v;
    a(what, address, lastKernelCall, lastCallReturnAddress, cameFrom);
}

template <class A>
void Fields(A& a, emulator::RunStats& v)
{
    auto& [instructions, peakStackBytes, stackBytes, elapsed] = v;
    a(instructions, peakStackBytes, stackBytes, elapsed);
}

template <class A>
void Fields(A& a, emulator::ImageRunResult& v)
{
    auto& [imageBase, status, fault, testBedError, loaderDataAccesses, driverObjectUntouched, registryPathUntouched,
           stats] = v;
    a(imageBase, status, fault, testBedError, loaderDataAccesses, driverObjectUntouched, registryPathUntouched, stats);
}

template <class A>
void Fields(A& a, testbed::FileGlimpse& v)
{
    auto& [size, head, named] = v;
    a(size, head, named);
}

template <class A>
void Fields(A& a, testbed::WrittenFile& v)
{
    auto& [volumePath, now] = v;
    a(volumePath, now);
}

template <class A>
void Fields(A& a, RunOutcome& v)
{
    auto& [status, debugOutput, calls, openHandles, counts, brokenRules, diskEvents, driverObjectUntouched,
           registryPathUntouched, fault, testBedError, peakStackBytes, emulated, recordLost, writtenFiles] = v;
    a(status, debugOutput, calls, openHandles, counts, brokenRules, diskEvents, driverObjectUntouched,
      registryPathUntouched, fault, testBedError, peakStackBytes, emulated, recordLost, writtenFiles);
}

template <class A>
void Fields(A& a, fault_sweep::BrokenRunRule& v)
{
    auto& [rule, detail] = v;
    a(rule, detail);
}

template <class A>
void Fields(A& a, fault_sweep::SweepRun& v)
{
    auto& [disk, fileSystem, faults] = v;
    a(disk, fileSystem, faults);
}

template <class A>
void Fields(A& a, fault_sweep::FailedRun& v)
{
    auto& [disk, fileSystem, faults, broken] = v;
    a(disk, fileSystem, faults, broken);
}

template <class A>
void Fields(A& a, fault_sweep::FailureGroup& v)
{
    auto& [runs, first] = v;
    a(runs, first);
}

template <class A>
void Fields(A& a, fault_sweep::EnvironmentFailure& v)
{
    auto& [disk, fileSystem, faults, what] = v;
    a(disk, fileSystem, faults, what);
}

template <class A>
void Fields(A& a, fault_sweep::SweepSummary& v)
{
    auto& [runs, disksOnNtfs, disksOnFat, faultsInjected, runsHeld, rulesBroken, environmentFailures, environment,
           storyDigest, failures, groups, planned, elapsed] = v;
    a(runs, disksOnNtfs, disksOnFat, faultsInjected, runsHeld, rulesBroken, environmentFailures, environment,
      storyDigest, failures, groups, planned, elapsed);
}

template <class T>
std::string Encode(const T& value)
{
    Writer writer;
    writer(value);
    return writer.Take();
}

template <class T>
T Decode(std::string_view bytes)
{
    T value{};
    Reader reader(bytes);
    reader(value);
    reader.ExpectEnd();
    return value;
}

}  // namespace

std::string EncodeRunSetup(const RunSetup& setup)
{
    return Encode(setup);
}

RunSetup DecodeRunSetup(std::string_view bytes)
{
    return Decode<RunSetup>(bytes);
}

std::string EncodeRunOutcome(const RunOutcome& outcome)
{
    return Encode(outcome);
}

RunOutcome DecodeRunOutcome(std::string_view bytes)
{
    return Decode<RunOutcome>(bytes);
}

std::string EncodeSweepSummary(const fault_sweep::SweepSummary& summary)
{
    return Encode(summary);
}

fault_sweep::SweepSummary DecodeSweepSummary(std::string_view bytes)
{
    return Decode<fault_sweep::SweepSummary>(bytes);
}

}  // namespace quarnhold::isolation
