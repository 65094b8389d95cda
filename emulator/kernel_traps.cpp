// kernel_traps.cpp
//
// The guest's records are read with the layouts of the image's machine (see
// RecordLayout), and its arguments found with the machine's convention; the
// rest is the same for i386 and amd64.

#include "emulator/kernel_traps.h"

#include "emulator/hex_text.h"
#include "emulator/image_rva.h"

#include <cstdio>

#include "testbed/kernel_requests.h"
#include "testbed/text_encoding.h"

namespace quarnhold::emulator {
namespace {

struct Stub {
    std::string_view name;
    uint32_t offset;
    uint16_t argumentBytes;  // what an i386 stdcall stub pops; 0 for DbgPrint, whose caller pops
    size_t arguments;        // the fixed ones
};

constexpr std::array<Stub, 4> Stubs{{
    {"ZwCreateFile", 0x00, 44, 11},
    {"ZwWriteFile", 0x10, 36, 9},
    {"ZwClose", 0x20, 4, 1},
    {"DbgPrint", 0x30, 0, 1},
}};

constexpr size_t FormatLimit = 4096;
constexpr size_t StringArgumentLimit = 32768;
constexpr uint32_t WriteLimit = 16 * 1024 * 1024;

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The little-endian value of `width` bytes (4 or 8) at `offset` of a record
// read from the guest.
uint64_t Field(std::span<const uint8_t> record, uint32_t offset, uint32_t width)
{
    uint64_t value = 0;
    for (uint32_t i = width; i-- > 0;) value = value << 8 | record[offset + i];
    return value;
}

// DbgPrint's variable arguments, read as the machine passes them: one slot
// each, in registers or on the stack; a 64-bit value takes two 4-byte slots
// on i386, one on amd64.
class GuestArguments final : public testbed::FormatArguments {
public:
    GuestArguments(const GuestCpu& cpu, const GuestMachine& machine, size_t first)
        : cpu_(cpu), machine_(machine), records_(machine.Records()), next_(first)
    {
    }

    uint32_t NextInt32() override { return static_cast<uint32_t>(NextSlot()); }
    uint64_t NextInt64() override
    {
        if (records_.pointerBytes == 8) return NextSlot();
        uint64_t low = static_cast<uint32_t>(NextSlot());
        return low | static_cast<uint64_t>(static_cast<uint32_t>(NextSlot())) << 32;
    }
    uint64_t NextPointer() override { return NextSlot(); }
    int PointerDigits() const override { return static_cast<int>(records_.pointerBytes * 2); }

    std::optional<std::string> ReadString(uint64_t address) override
    {
        return cpu_.ReadString(address, StringArgumentLimit);
    }
    std::optional<std::u16string> ReadWideString(uint64_t address) override
    {
        return cpu_.ReadWideString(address, StringArgumentLimit);
    }
    std::optional<std::u16string> ReadCountedWideString(uint64_t address) override
    {
        std::vector<uint8_t> record(records_.unicodeStringBuffer + records_.pointerBytes);
        if (!cpu_.Read(address, record)) return std::nullopt;
        const uint64_t buffer = Field(record, records_.unicodeStringBuffer, records_.pointerBytes);
        if (buffer == 0) return std::nullopt;
        std::u16string text(Field(record, 0, 2) / 2, u'\0');
        if (!cpu_.Read(buffer, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size() * 2))) {
            return std::nullopt;
        }
        return text;
    }

private:
    uint64_t NextSlot() { return machine_.Argument(cpu_, next_++).value_or(0); }

    const GuestCpu& cpu_;
    const GuestMachine& machine_;
    const RecordLayout& records_;
    size_t next_;
};

}  // namespace

KernelTraps::KernelTraps(GuestCpu& cpu, const GuestMachine& machine)
    : cpu_(cpu), machine_(machine), trapPage_(machine.Layout().trapPage)
{
}

void KernelTraps::BeginRun(testbed::KernelModel& model)
{
    model_ = &model;
    lastCall_.clear();
    lastReturnAddress_.reset();
    calls_.clear();
}

void KernelTraps::CallersIn(uint64_t base, uint32_t size)
{
    callerBase_ = base;
    callerSize_ = size;
}

std::vector<uint8_t> KernelTraps::PageBytes() const
{
    // Everything but the stubs is int3, so a jump into the page's middle
    // traps as well.
    std::vector<uint8_t> page(0x1000, 0xCC);
    for (const Stub& stub : Stubs) {
        const std::vector<uint8_t> bytes = machine_.TrapStub(stub.argumentBytes);
        std::copy(bytes.begin(), bytes.end(), page.begin() + stub.offset);
    }
    return page;
}

std::optional<uint64_t> KernelTraps::Resolve(std::string_view library, std::string_view name) const
{
    if (!EqualsIgnoringCase(library, "ntoskrnl.exe")) {
        return std::nullopt;
    }
    for (const Stub& stub : Stubs) {
        if (stub.name == name) return trapPage_ + stub.offset;
    }
    return std::nullopt;
}

bool KernelTraps::Contains(uint64_t address) const
{
    return address >= trapPage_ && address < trapPage_ + 0x1000;
}

std::optional<std::string> KernelTraps::Dispatch(uint64_t address)
{
    if (model_ == nullptr) {
        return "a kernel call before any run began";
    }
    for (const Stub& stub : Stubs) {
        if (address != trapPage_ + stub.offset) continue;
        const std::optional<uint64_t> returnAddress = machine_.ReturnAddress(cpu_);
        lastCall_ = std::string(stub.name) + ", called from " +
                    (returnAddress ? HexAddress(*returnAddress) : "an unreadable return address");
        lastReturnAddress_ = returnAddress;
        calls_.push_back(lastCall_);
        model_->NoteCaller(returnAddress ? ImageRva(*returnAddress, callerBase_, callerSize_) : std::nullopt);
        if (std::optional<std::string> wrong = machine_.CheckCallFrame(cpu_, stub.name)) return wrong;
        machine_.EnterRoutine(cpu_, static_cast<unsigned>(calls_.size()));
        std::optional<std::string> failed = stub.name == "ZwCreateFile"  ? CreateFile()
                                            : stub.name == "ZwWriteFile" ? WriteFile()
                                            : stub.name == "ZwClose"     ? Close()
                                                                         : DebugPrint();
        return failed ? failed : model_->RecordFull();
    }
    return "execution entered the kernel's trap page at " + HexAddress(address) + ", which is no routine's entry";
}

std::string KernelTraps::Explain(uint64_t value) const
{
    const std::optional<MarkedValue> marked = machine_.Marked(value);
    if (!marked || marked->call == 0 || marked->call > calls_.size()) return {};
    const std::string call = "kernel call " + std::to_string(marked->call) + " (" + calls_[marked->call - 1] + ")";
    if (marked->homeSpace) {
        return "a value the kernel left in the home space of " + call +
               ": the caller kept something of its own in those 32 bytes above the return address, or did not "
               "reserve them";
    }
    return "a value the kernel left in " + marked->where + " on returning from " + call + ": " + marked->where +
           " does not survive a call";
}

std::optional<uint64_t> KernelTraps::ReadPointer(uint64_t address) const
{
    if (machine_.Records().pointerBytes == 8) return cpu_.ReadU64(address);
    return cpu_.ReadU32(address);
}

bool KernelTraps::WritePointer(uint64_t address, uint64_t value)
{
    if (machine_.Records().pointerBytes == 8) return cpu_.WriteU64(address, value);
    return cpu_.WriteU32(address, static_cast<uint32_t>(value));
}

std::optional<uint32_t> KernelTraps::ModelHandle(uint64_t guest, std::string_view routine, std::string& fault) const
{
    std::optional<uint32_t> handle = machine_.ModelHandle(guest);
    if (!handle) {
        fault = std::string(routine) + ": handle " + Hex(guest, 2 * machine_.Records().pointerBytes) +
                " is no handle the kernel gives out: an amd64 kernel handle has its upper 33 bits set, "
                "so this looks like one cut to 32 bits and widened without its sign";
    }
    return handle;
}

bool KernelTraps::StoreIoStatus(uint64_t ioStatusBlock, testbed::NtStatus status, std::optional<uint32_t> information)
{
    if (!information || ioStatusBlock == 0) return true;
    return cpu_.WriteU32(ioStatusBlock, status) &&
           WritePointer(ioStatusBlock + machine_.Records().ioStatusInformation, *information);
}

std::optional<std::string> KernelTraps::BugCheck(std::string_view routine,
                                                 const std::optional<testbed::UnreadableRecord>& unreadable,
                                                 testbed::NtStatus status) const
{
    // The model has noted the broken rule and answered STATUS_ACCESS_VIOLATION
    // when it reached that memory. A kernel-mode caller's pointers are not
    // probed, so NT goes down at the access; a call refused before it got
    // there goes on.
    if (!unreadable || status != testbed::status::AccessViolation) return std::nullopt;
    std::string_view what;
    switch (unreadable->record) {
        case testbed::CallerRecord::ObjectAttributes:
            what = "the OBJECT_ATTRIBUTES";
            break;
        case testbed::CallerRecord::ObjectName:
            what = "the UNICODE_STRING";
            break;
        case testbed::CallerRecord::ObjectNameBuffer:
            what = "the name's Buffer";
            break;
        case testbed::CallerRecord::ByteOffset:
            what = "the ByteOffset";
            break;
        case testbed::CallerRecord::Buffer:
            what = "the Buffer";
            break;
    }
    const std::string why = Explain(unreadable->address);
    return std::string(routine) + ": " + std::string(what) + " at " + HexAddress(unreadable->address) +
           " cannot be read" + (why.empty() ? "" : ", " + why);
}

// ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
// AllocationSize, FileAttributes, ShareAccess, CreateDisposition,
// CreateOptions, EaBuffer, EaLength)
std::optional<std::string> KernelTraps::CreateFile()
{
    std::array<uint64_t, 11> argument{};
    if (!machine_.Arguments(cpu_, argument)) return "ZwCreateFile's arguments are not on the stack";
    const uint64_t fileHandle = argument[0], objectAttributes = argument[2], ioStatusBlock = argument[3];
    const RecordLayout& records = machine_.Records();
    const uint32_t pointer = records.pointerBytes;

    testbed::CreateFileRequest request;
    request.hasFileHandle = fileHandle != 0;
    request.desiredAccess = static_cast<uint32_t>(argument[1]);
    request.hasObjectAttributes = objectAttributes != 0;
    request.nativeObjectAttributesSize = records.objectAttributesSize;
    // Each record is read only if the one pointing at it could be.
    std::vector<uint8_t> fields(records.objectAttributesSize);
    bool haveFields = false;
    if (objectAttributes != 0) {
        haveFields = cpu_.Read(objectAttributes, fields);
        if (!haveFields) request.unreadable = {testbed::CallerRecord::ObjectAttributes, objectAttributes};
    }
    if (haveFields) {
        request.objectAttributesLength = static_cast<uint32_t>(Field(fields, 0, 4));
        request.hasRootDirectory = Field(fields, records.objectAttributesRootDirectory, pointer) != 0;
        request.attributes = static_cast<uint32_t>(Field(fields, records.objectAttributesAttributes, 4));
        request.hasSecurityDescriptor = Field(fields, records.objectAttributesSecurityDescriptor, pointer) != 0;
        request.hasSecurityQualityOfService =
            Field(fields, records.objectAttributesSecurityQualityOfService, pointer) != 0;
        if (uint64_t name = Field(fields, records.objectAttributesObjectName, pointer); name != 0) {
            std::vector<uint8_t> unicodeString(records.unicodeStringBuffer + pointer);
            if (!cpu_.Read(name, unicodeString)) {
                request.unreadable = {testbed::CallerRecord::ObjectName, name};
            } else {
                const uint64_t buffer = Field(unicodeString, records.unicodeStringBuffer, pointer);
                testbed::CountedName counted;
                counted.length = static_cast<uint16_t>(Field(unicodeString, 0, 2));
                counted.maximumLength = static_cast<uint16_t>(Field(unicodeString, 2, 2));
                counted.text.resize(counted.length / 2);
                if (!cpu_.Read(buffer,
                               std::span(reinterpret_cast<uint8_t*>(counted.text.data()), counted.text.size() * 2))) {
                    counted.text.clear();
                    request.unreadable = {testbed::CallerRecord::ObjectNameBuffer, buffer};
                }
                request.objectName = std::move(counted);
            }
        }
    }
    request.hasIoStatusBlock = ioStatusBlock != 0;
    request.hasAllocationSize = argument[4] != 0;
    request.fileAttributes = static_cast<uint32_t>(argument[5]);
    request.shareAccess = static_cast<uint32_t>(argument[6]);
    request.createDisposition = static_cast<uint32_t>(argument[7]);
    request.createOptions = static_cast<uint32_t>(argument[8]);
    request.hasEaBuffer = argument[9] != 0;
    request.eaLength = static_cast<uint32_t>(argument[10]);

    testbed::CreateFileResult result = model_->CreateFile(request);
    if (std::optional<std::string> stop = BugCheck("ZwCreateFile", request.unreadable, result.status)) return stop;
    // Any status NT_SUCCESS holds for comes with the handle.
    if (result.handle != 0 && !WritePointer(fileHandle, machine_.GuestHandle(result.handle))) {
        return "ZwCreateFile: the handle cannot be stored at " + HexAddress(fileHandle);
    }
    if (!StoreIoStatus(ioStatusBlock, result.status, result.information)) {
        return "ZwCreateFile: the IO_STATUS_BLOCK at " + HexAddress(ioStatusBlock) + " cannot be written";
    }
    machine_.ReturnFromRoutine(cpu_, result.status, static_cast<unsigned>(calls_.size()));
    return std::nullopt;
}

// ZwWriteFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock,
// Buffer, Length, ByteOffset, Key)
std::optional<std::string> KernelTraps::WriteFile()
{
    std::array<uint64_t, 9> argument{};
    if (!machine_.Arguments(cpu_, argument)) return "ZwWriteFile's arguments are not on the stack";
    const uint64_t ioStatusBlock = argument[4], buffer = argument[5], byteOffset = argument[7];
    const uint32_t length = static_cast<uint32_t>(argument[6]);

    testbed::WriteFileRequest request;
    std::string wrongHandle;
    std::optional<uint32_t> handle = ModelHandle(argument[0], "ZwWriteFile", wrongHandle);
    if (!handle) return wrongHandle;
    request.handle = *handle;
    request.hasEvent = argument[1] != 0;
    request.hasApcRoutine = argument[2] != 0;
    request.hasApcContext = argument[3] != 0;
    request.hasIoStatusBlock = ioStatusBlock != 0;
    request.length = length;
    request.hasKey = argument[8] != 0;
    if (length > WriteLimit) {
        return "ZwWriteFile: a write of " + std::to_string(length) + " bytes is more than the model takes";
    }
    // NT takes ByteOffset with the call and touches Buffer later; a null
    // Buffer is as unreadable as any other unmapped one.
    if (byteOffset != 0) {
        if (std::optional<uint64_t> offset = cpu_.ReadU64(byteOffset)) {
            request.byteOffset = static_cast<int64_t>(*offset);
        } else {
            request.unreadable = {testbed::CallerRecord::ByteOffset, byteOffset};
        }
    }
    std::vector<uint8_t> data(length);
    if (!request.unreadable) {
        if (cpu_.Read(buffer, data)) {
            request.data = data;
        } else {
            request.unreadable = {testbed::CallerRecord::Buffer, buffer};
        }
    }

    testbed::WriteFileResult result = model_->WriteFile(request);
    if (std::optional<std::string> stop = BugCheck("ZwWriteFile", request.unreadable, result.status)) return stop;
    if (!StoreIoStatus(ioStatusBlock, result.status, result.information)) {
        return "ZwWriteFile: the IO_STATUS_BLOCK at " + HexAddress(ioStatusBlock) + " cannot be written";
    }
    machine_.ReturnFromRoutine(cpu_, result.status, static_cast<unsigned>(calls_.size()));
    return std::nullopt;
}

// ZwClose(Handle)
std::optional<std::string> KernelTraps::Close()
{
    std::optional<uint64_t> argument = machine_.Argument(cpu_, 0);
    if (!argument) return "ZwClose's argument is not on the stack";
    std::string wrongHandle;
    std::optional<uint32_t> handle = ModelHandle(*argument, "ZwClose", wrongHandle);
    if (!handle) return wrongHandle;
    const testbed::NtStatus status = model_->Close(*handle);
    machine_.ReturnFromRoutine(cpu_, status, static_cast<unsigned>(calls_.size()));
    return std::nullopt;
}

// DbgPrint(Format, ...)
std::optional<std::string> KernelTraps::DebugPrint()
{
    std::optional<uint64_t> format = machine_.Argument(cpu_, 0);
    if (!format) return "DbgPrint's format argument is not on the stack";
    std::optional<std::string> text = cpu_.ReadString(*format, FormatLimit);
    if (!text) {
        const std::string why = Explain(*format);
        return "DbgPrint: the format at " + HexAddress(*format) + " cannot be read" + (why.empty() ? "" : ", " + why);
    }
    GuestArguments rest(cpu_, machine_, 1);
    model_->DebugPrint(*text, rest);
    machine_.ReturnFromRoutine(cpu_, 0, static_cast<unsigned>(calls_.size()));
    return std::nullopt;
}

}  // namespace quarnhold::emulator
