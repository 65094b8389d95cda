// host_kernel_routines.cpp
//
// The four kernel routines for the host build of the driver: each unpacks the
// caller's native records into a request, asks the bound model, and writes
// the answer back into the records as the kernel would.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kernel/kernel_services.h"
#include "testbed/host_kernel_binding.h"

namespace quarnhold::testbed {
namespace {

KernelModel* boundModel = nullptr;

KernelModel& Bound(const char* routine)
{
    if (boundModel == nullptr) {
        std::fprintf(stderr, "%s called with no kernel model bound\n", routine);
        std::abort();
    }
    return *boundModel;
}

// Handles travel as the 32-bit values the model gives out, as on i386.
uint32_t HandleValue(HANDLE handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

// DbgPrint's variable arguments, as the host passed them.
class VarArgs final : public FormatArguments {
public:
    explicit VarArgs(va_list* list) : list_(list) {}

    uint32_t NextInt32() override { return va_arg(*list_, uint32_t); }
    uint64_t NextInt64() override { return va_arg(*list_, uint64_t); }
    uint64_t NextPointer() override { return reinterpret_cast<uintptr_t>(va_arg(*list_, void*)); }
    int PointerDigits() const override { return static_cast<int>(sizeof(void*) * 2); }

    std::optional<std::string> ReadString(uint64_t address) override
    {
        return std::string(reinterpret_cast<const char*>(address));
    }
    std::optional<std::u16string> ReadWideString(uint64_t address) override
    {
        return std::u16string(reinterpret_cast<const char16_t*>(address));
    }
    std::optional<std::u16string> ReadCountedWideString(uint64_t address) override
    {
        const auto* text = reinterpret_cast<const UNICODE_STRING*>(address);
        if (text->Buffer == nullptr) {
            return std::nullopt;
        }
        return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
    }

private:
    va_list* list_;
};

// Stops the host-compiled driver where the emulated CPU would stop when
// the run's record is full: the exception unwinds it back to whoever called
// DriverEntry.
void StopIfRecordFull()
{
    if (std::optional<std::string> full = Bound("a kernel routine").RecordFull()) throw RunStop(*full);
}

}  // namespace

HostKernelBinding::HostKernelBinding(KernelModel& model)
{
    if (boundModel != nullptr) {
        throw std::logic_error("a kernel model is already bound");
    }
    boundModel = &model;
}

HostKernelBinding::~HostKernelBinding()
{
    boundModel = nullptr;
}

}  // namespace quarnhold::testbed

using quarnhold::testbed::Bound;
using quarnhold::testbed::StopIfRecordFull;
using quarnhold::testbed::CallerRecord;
using quarnhold::testbed::HandleValue;
using quarnhold::testbed::UnreadableRecord;

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    quarnhold::testbed::CreateFileRequest request;
    request.hasFileHandle = FileHandle != nullptr;
    request.desiredAccess = DesiredAccess;
    request.hasObjectAttributes = ObjectAttributes != nullptr;
    request.nativeObjectAttributesSize = sizeof(OBJECT_ATTRIBUTES);
    if (ObjectAttributes != nullptr) {
        request.objectAttributesLength = ObjectAttributes->Length;
        request.hasRootDirectory = ObjectAttributes->RootDirectory != nullptr;
        request.attributes = ObjectAttributes->Attributes;
        request.hasSecurityDescriptor = ObjectAttributes->SecurityDescriptor != nullptr;
        request.hasSecurityQualityOfService = ObjectAttributes->SecurityQualityOfService != nullptr;
        if (const UNICODE_STRING* name = ObjectAttributes->ObjectName) {
            const size_t units = name->Length / sizeof(WCHAR);
            request.objectName = quarnhold::testbed::CountedName{name->Length, name->MaximumLength, {}};
            // A null Buffer is the one unreadable pointer the host can tell;
            // any other bad one faults the test process itself.
            if (name->Buffer != nullptr) {
                request.objectName->text.assign(name->Buffer, units);
            } else if (units != 0) {
                request.unreadable = UnreadableRecord{CallerRecord::ObjectNameBuffer, 0};
            }
        }
    }
    request.hasIoStatusBlock = IoStatusBlock != nullptr;
    request.hasAllocationSize = AllocationSize != nullptr;
    request.fileAttributes = FileAttributes;
    request.shareAccess = ShareAccess;
    request.createDisposition = CreateDisposition;
    request.createOptions = CreateOptions;
    request.hasEaBuffer = EaBuffer != nullptr;
    request.eaLength = EaLength;

    quarnhold::testbed::CreateFileResult result = Bound("ZwCreateFile").CreateFile(request);
    StopIfRecordFull();
    // Any status NT_SUCCESS holds for comes with the handle.
    if (result.handle != 0) {
        *FileHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(result.handle));
    }
    if (result.information && IoStatusBlock != nullptr) {
        IoStatusBlock->Status = static_cast<NTSTATUS>(result.status);
        IoStatusBlock->Information = *result.information;
    }
    return static_cast<NTSTATUS>(result.status);
}

extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key)
{
    quarnhold::testbed::WriteFileRequest request;
    request.handle = HandleValue(FileHandle);
    request.hasEvent = Event != nullptr;
    request.hasApcRoutine = ApcRoutine != nullptr;
    request.hasApcContext = ApcContext != nullptr;
    request.hasIoStatusBlock = IoStatusBlock != nullptr;
    if (Buffer != nullptr) {
        request.data = std::span<const uint8_t>(static_cast<const uint8_t*>(Buffer), Length);
    } else if (Length != 0) {
        request.unreadable = UnreadableRecord{CallerRecord::Buffer, 0};
    }
    request.length = Length;
    if (ByteOffset != nullptr) {
        request.byteOffset = ByteOffset->QuadPart;
    }
    request.hasKey = Key != nullptr;

    quarnhold::testbed::WriteFileResult result = Bound("ZwWriteFile").WriteFile(request);
    StopIfRecordFull();
    if (result.information && IoStatusBlock != nullptr) {
        IoStatusBlock->Status = static_cast<NTSTATUS>(result.status);
        IoStatusBlock->Information = *result.information;
    }
    return static_cast<NTSTATUS>(result.status);
}

// A bug check stops the host-compiled driver where the machine would stop:
// the exception unwinds it back to whoever called DriverEntry.
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    quarnhold::testbed::KernelModel& model = Bound("ZwClose");
    NTSTATUS status = static_cast<NTSTATUS>(model.Close(HandleValue(Handle)));
    if (model.RaisedBugCheck()) {
        throw quarnhold::testbed::BugCheckStop(*model.RaisedBugCheck());
    }
    StopIfRecordFull();
    return status;
}

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    if (Format == nullptr) {
        std::fprintf(stderr, "DbgPrint called with no format\n");
        std::abort();
    }
    va_list list;
    va_start(list, Format);
    quarnhold::testbed::VarArgs arguments(&list);
    Bound("DbgPrint").DebugPrint(Format, arguments);
    va_end(list);
    StopIfRecordFull();
    return STATUS_SUCCESS;
}
