// kernel_traps.cpp
//
// The guest's records are read with the i386 layouts the kernel defines:
// OBJECT_ATTRIBUTES 24 bytes (Length, RootDirectory, ObjectName, Attributes,
// SecurityDescriptor, SecurityQualityOfService), UNICODE_STRING 8 (Length,
// MaximumLength, Buffer), IO_STATUS_BLOCK 8 (Status, Information).

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
    uint16_t argumentBytes;  // popped by the stub: stdcall
    bool stdcall;
};

constexpr std::array<Stub, 4> Stubs{{
    {"ZwCreateFile", 0x00, 44, true},
    {"ZwWriteFile", 0x10, 36, true},
    {"ZwClose", 0x20, 4, true},
    {"DbgPrint", 0x30, 0, false},
}};

constexpr uint32_t ObjectAttributesSize = 24;
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

// `Count` consecutive 32-bit values: a routine's stack arguments, or the
// fields of a record, in one read. Nothing when any of them cannot be read.
template <size_t Count>
std::optional<std::array<uint32_t, Count>> ReadDwords(const GuestCpu& cpu, uint32_t address)
{
    std::array<uint8_t, 4 * Count> bytes{};
    if (!cpu.Read(address, bytes)) return std::nullopt;
    std::array<uint32_t, Count> values{};
    for (size_t i = 0; i < Count; ++i) {
        values[i] = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                    static_cast<uint32_t>(bytes[4 * i + 2]) << 16 | static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return values;
}

// The fault that stops the run where NT would bug-check; runs after the model has answered a call
// that carried caller memory the trap could not read.
std::optional<std::string> BugCheck(std::string_view routine,
                                    const std::optional<testbed::UnreadableRecord>& unreadable,
                                    testbed::NtStatus status)
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
    return std::string(routine) + ": " + std::string(what) + " at " +
           Hex(static_cast<uint32_t>(unreadable->address), 8) + " cannot be read";
}

// Stores Status and Information in the caller's IO_STATUS_BLOCK when the
// model has an outcome for it; false when the record cannot be written.
bool StoreIoStatus(GuestCpu& cpu, uint32_t ioStatusBlock, testbed::NtStatus status, std::optional<uint32_t> information)
{
    if (!information || ioStatusBlock == 0) return true;
    return cpu.WriteU32(ioStatusBlock, status) && cpu.WriteU32(ioStatusBlock + 4, *information);
}

// DbgPrint's variable arguments, read from the guest's stack: each 32-bit
// value takes one slot, a 64-bit value two.
class StackArguments final : public testbed::FormatArguments {
public:
    StackArguments(const GuestCpu& cpu, uint32_t first) : cpu_(cpu), next_(first) {}

    uint32_t NextInt32() override
    {
        std::optional<uint32_t> value = cpu_.ReadU32(next_);
        next_ += 4;
        return value.value_or(0);
    }
    uint64_t NextInt64() override
    {
        uint64_t low = NextInt32();
        return low | static_cast<uint64_t>(NextInt32()) << 32;
    }
    uint64_t NextPointer() override { return NextInt32(); }
    int PointerDigits() const override { return 8; }

    std::optional<std::string> ReadString(uint64_t address) override
    {
        return cpu_.ReadString(static_cast<uint32_t>(address), StringArgumentLimit);
    }
    std::optional<std::u16string> ReadWideString(uint64_t address) override
    {
        return cpu_.ReadWideString(static_cast<uint32_t>(address), StringArgumentLimit);
    }
    std::optional<std::u16string> ReadCountedWideString(uint64_t address) override
    {
        std::optional<std::array<uint32_t, 2>> unicodeString = ReadDwords<2>(cpu_, static_cast<uint32_t>(address));
        if (!unicodeString || (*unicodeString)[1] == 0) return std::nullopt;
        const auto [lengths, buffer] = *unicodeString;
        std::u16string text((lengths & 0xFFFF) / 2, u'\0');
        if (!cpu_.Read(buffer, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size() * 2))) {
            return std::nullopt;
        }
        return text;
    }

private:
    const GuestCpu& cpu_;
    uint32_t next_;
};

}  // namespace

KernelTraps::KernelTraps(GuestCpu& cpu, uint32_t trapPage) : cpu_(cpu), trapPage_(trapPage) {}

void KernelTraps::BeginRun(testbed::KernelModel& model)
{
    model_ = &model;
    lastCall_.clear();
    lastReturnAddress_.reset();
}

void KernelTraps::CallersIn(uint32_t base, uint32_t size)
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
        if (stub.stdcall) {
            page[stub.offset] = 0xC2;  // ret imm16
            page[stub.offset + 1] = static_cast<uint8_t>(stub.argumentBytes);
            page[stub.offset + 2] = static_cast<uint8_t>(stub.argumentBytes >> 8);
        } else {
            page[stub.offset] = 0xC3;  // ret
        }
    }
    return page;
}

std::optional<uint32_t> KernelTraps::Resolve(std::string_view library, std::string_view name) const
{
    if (!EqualsIgnoringCase(library, "ntoskrnl.exe")) {
        return std::nullopt;
    }
    for (const Stub& stub : Stubs) {
        if (stub.name == name) return trapPage_ + stub.offset;
    }
    return std::nullopt;
}

bool KernelTraps::Contains(uint32_t address) const
{
    return address >= trapPage_ && address < trapPage_ + 0x1000;
}

std::optional<std::string> KernelTraps::Dispatch(uint32_t address)
{
    if (model_ == nullptr) {
        return "a kernel call before any run began";
    }
    uint32_t esp = cpu_.Register(UC_X86_REG_ESP);
    std::optional<uint32_t> returnAddress = cpu_.ReadU32(esp);
    for (const Stub& stub : Stubs) {
        if (address != trapPage_ + stub.offset) continue;
        lastCall_ = std::string(stub.name) + ", called from " + (returnAddress ? Hex(*returnAddress, 8) : "?");
        lastReturnAddress_ = returnAddress;
        model_->NoteCaller(returnAddress ? ImageRva(*returnAddress, callerBase_, callerSize_) : std::nullopt);
        uint32_t arguments = esp + 4;
        std::optional<std::string> failed = stub.name == "ZwCreateFile" ? CreateFile(arguments)
                                            : stub.name == "ZwWriteFile" ? WriteFile(arguments)
                                            : stub.name == "ZwClose"     ? Close(arguments)
                                                                         : DebugPrint(arguments);
        return failed ? failed : model_->RecordFull();
    }
    return "execution entered the kernel's trap page at " + Hex(address, 8) + ", which is no routine's entry";
}

// ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
// AllocationSize, FileAttributes, ShareAccess, CreateDisposition,
// CreateOptions, EaBuffer, EaLength)
std::optional<std::string> KernelTraps::CreateFile(uint32_t arguments)
{
    std::optional<std::array<uint32_t, 11>> read = ReadDwords<11>(cpu_, arguments);
    if (!read) return "ZwCreateFile's arguments are not on the stack";
    const std::array<uint32_t, 11>& argument = *read;
    const uint32_t fileHandle = argument[0], objectAttributes = argument[2], ioStatusBlock = argument[3];

    testbed::CreateFileRequest request;
    request.hasFileHandle = fileHandle != 0;
    request.desiredAccess = argument[1];
    request.hasObjectAttributes = objectAttributes != 0;
    request.nativeObjectAttributesSize = ObjectAttributesSize;
    // Each record is read only if the one pointing at it could be.
    std::optional<std::array<uint32_t, 6>> fields;
    if (objectAttributes != 0) {
        fields = ReadDwords<6>(cpu_, objectAttributes);
        if (!fields) request.unreadable = {testbed::CallerRecord::ObjectAttributes, objectAttributes};
    }
    if (fields) {
        const std::array<uint32_t, 6>& field = *fields;
        request.objectAttributesLength = field[0];
        request.hasRootDirectory = field[1] != 0;
        request.attributes = field[3];
        request.hasSecurityDescriptor = field[4] != 0;
        request.hasSecurityQualityOfService = field[5] != 0;
        if (uint32_t name = field[2]; name != 0) {
            std::optional<std::array<uint32_t, 2>> unicodeString = ReadDwords<2>(cpu_, name);
            if (!unicodeString) {
                request.unreadable = {testbed::CallerRecord::ObjectName, name};
            } else {
                const auto [lengths, buffer] = *unicodeString;
                testbed::CountedName counted;
                counted.length = static_cast<uint16_t>(lengths);
                counted.maximumLength = static_cast<uint16_t>(lengths >> 16);
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
    request.fileAttributes = argument[5];
    request.shareAccess = argument[6];
    request.createDisposition = argument[7];
    request.createOptions = argument[8];
    request.hasEaBuffer = argument[9] != 0;
    request.eaLength = argument[10];

    testbed::CreateFileResult result = model_->CreateFile(request);
    if (std::optional<std::string> stop = BugCheck("ZwCreateFile", request.unreadable, result.status)) return stop;
    // Any status NT_SUCCESS holds for comes with the handle.
    if (result.handle != 0 && !cpu_.WriteU32(fileHandle, result.handle)) {
        return "ZwCreateFile: the handle cannot be stored at " + Hex(fileHandle, 8);
    }
    if (!StoreIoStatus(cpu_, ioStatusBlock, result.status, result.information)) {
        return "ZwCreateFile: the IO_STATUS_BLOCK at " + Hex(ioStatusBlock, 8) + " cannot be written";
    }
    cpu_.SetRegister(UC_X86_REG_EAX, result.status);
    return std::nullopt;
}

// ZwWriteFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock,
// Buffer, Length, ByteOffset, Key)
std::optional<std::string> KernelTraps::WriteFile(uint32_t arguments)
{
    std::optional<std::array<uint32_t, 9>> read = ReadDwords<9>(cpu_, arguments);
    if (!read) return "ZwWriteFile's arguments are not on the stack";
    const std::array<uint32_t, 9>& argument = *read;
    const uint32_t ioStatusBlock = argument[4], buffer = argument[5], length = argument[6], byteOffset = argument[7];

    testbed::WriteFileRequest request;
    request.handle = argument[0];
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
        if (std::optional<std::array<uint32_t, 2>> halves = ReadDwords<2>(cpu_, byteOffset)) {
            const auto [low, high] = *halves;
            request.byteOffset = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
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
    if (!StoreIoStatus(cpu_, ioStatusBlock, result.status, result.information)) {
        return "ZwWriteFile: the IO_STATUS_BLOCK at " + Hex(ioStatusBlock, 8) + " cannot be written";
    }
    cpu_.SetRegister(UC_X86_REG_EAX, result.status);
    return std::nullopt;
}

// ZwClose(Handle)
std::optional<std::string> KernelTraps::Close(uint32_t arguments)
{
    std::optional<uint32_t> handle = cpu_.ReadU32(arguments);
    if (!handle) return "ZwClose's argument is not on the stack";
    cpu_.SetRegister(UC_X86_REG_EAX, model_->Close(*handle));
    return std::nullopt;
}

// DbgPrint(Format, ...)
std::optional<std::string> KernelTraps::DebugPrint(uint32_t arguments)
{
    std::optional<uint32_t> format = cpu_.ReadU32(arguments);
    if (!format) return "DbgPrint's format argument is not on the stack";
    std::optional<std::string> text = cpu_.ReadString(*format, FormatLimit);
    if (!text) return "DbgPrint: the format at " + Hex(*format, 8) + " cannot be read";
    StackArguments rest(cpu_, arguments + 4);
    model_->DebugPrint(*text, rest);
    cpu_.SetRegister(UC_X86_REG_EAX, 0);
    return std::nullopt;
}

}  // namespace quarnhold::emulator
