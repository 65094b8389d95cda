// driver_contract.cpp
//
// The table is written from the driver's documented contract, with the
// test bed's own constants (testbed/nt_file_definitions.h), never from the
// driver's headers, so that a wrong constant on either side shows up.

#include "fault_sweep/driver_contract.h"

#include <map>

#include "emulator/hex_text.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/text_encoding.h"

namespace quarnhold::fault_sweep {
namespace {

namespace nt = testbed::nt;
using testbed::KernelCall;
using testbed::Routine;

std::vector<ContractCall> Build()
{
    using R = Routine;
    const MessageFormat* m = nullptr;  // a row without a format
    const uint32_t sync = nt::FileSynchronousIoNonalert;
    return {
        {R::DbgPrint, 0, "DriverEntry: entry message", {}, 0, 0, 0, 0, 0, {}, &message::DriverEntry},
        {R::DbgPrint, 0, "CreateWorkDirectory: announcement", {}, 0, 0, 0, 0, 0, {}, &message::CreatingDirectory},
        {R::ZwCreateFile,
         1,
         "CreateWorkDirectory: open or create the directory",
         WorkDirectoryPath,
         nt::Synchronize,
         nt::FileAttributeNormal,
         0,
         nt::FileOpenIf,
         nt::FileDirectoryFile | sync,
         {},
         m},
        {R::DbgPrint, 0, "CreateWorkDirectory: created", {}, 0, 0, 0, 0, 0, {}, &message::DirectoryCreated},
        {R::DbgPrint, 0, "CreateWorkDirectory: already there", {}, 0, 0, 0, 0, 0, {}, &message::DirectoryOpened},
        {R::DbgPrint, 0, "CreateWorkDirectory: failure", {}, 0, 0, 0, 0, 0, {}, &message::DirectoryFailed},
        {R::DbgPrint, 0, "CreateTestFile: announcement", {}, 0, 0, 0, 0, 0, {}, &message::CreatingFile},
        {R::ZwCreateFile,
         2,
         "CreateTestFile: create test.txt, never replacing one",
         TestFilePath,
         nt::Synchronize,
         nt::FileAttributeNormal,
         0,
         nt::FileCreate,
         sync,
         {},
         m},
        {R::DbgPrint, 0, "CreateTestFile: created", {}, 0, 0, 0, 0, 0, {}, &message::FileCreated},
        {R::DbgPrint, 0, "CreateTestFile: failure", {}, 0, 0, 0, 0, 0, {}, &message::FileCreateFailed},
        {R::DbgPrint, 0, "WriteTestFile: announcement", {}, 0, 0, 0, 0, 0, {}, &message::OpeningFile},
        {R::ZwCreateFile,
         3,
         "WriteTestFile: open test.txt for writing",
         TestFilePath,
         nt::Synchronize | nt::FileWriteData,
         0,
         nt::FileShareRead,
         nt::FileOpen,
         sync,
         {},
         m},
        {R::DbgPrint, 0, "WriteTestFile: opened", {}, 0, 0, 0, 0, 0, {}, &message::FileOpened},
        {R::DbgPrint, 0, "WriteTestFile: open failure", {}, 0, 0, 0, 0, 0, {}, &message::FileOpenFailed},
        {R::ZwWriteFile,
         1,
         "WriteTestFile: write the text at the handle's position",
         {},
         0,
         0,
         0,
         0,
         0,
         TestFileContent,
         m},
        {R::DbgPrint, 0, "WriteTestFile: written", {}, 0, 0, 0, 0, 0, {}, &message::FileWritten},
        {R::DbgPrint, 0, "WriteTestFile: write failure", {}, 0, 0, 0, 0, 0, {}, &message::FileWriteFailed},
        {R::DbgPrint, 0, "DriverEntry: exit message", {}, 0, 0, 0, 0, 0, {}, &message::DriverExit},
        // Each step closes the handle its create gave out, whatever status
        // came with it: the run sequence holds the handle against the create.
        {R::ZwClose, 0, "every step: close the step's own handle", {}, 0, 0, 0, 0, 0, {}, m},
    };
}

const ContractCall* Find(Routine routine, unsigned occurrence)
{
    for (const ContractCall& call : DriverContract()) {
        if (call.routine == routine && call.occurrence == occurrence) return &call;
    }
    return nullptr;
}

std::string Hex(uint32_t value)
{
    return emulator::Hex(value, 8);
}

// Collects the first field that differs from the contract.
class FieldCheck {
public:
    void Equal(std::string_view field, uint64_t actual, uint64_t expected)
    {
        if (!wrong_ && actual != expected) {
            wrong_ = std::string(field) + " is " + Hex(static_cast<uint32_t>(actual)) + ", not " +
                     Hex(static_cast<uint32_t>(expected));
        }
    }
    void Present(std::string_view field, bool present, bool expected)
    {
        if (!wrong_ && present != expected) {
            wrong_ = std::string(field) + (expected ? " is missing" : " is given, where the contract passes none");
        }
    }
    void Text(std::string_view field, const std::string& actual, std::string_view expected)
    {
        if (!wrong_ && actual != expected) {
            wrong_ = std::string(field) + " is \"" + actual + "\", not \"" + std::string(expected) + "\"";
        }
    }
    const std::optional<std::string>& Wrong() const { return wrong_; }

private:
    std::optional<std::string> wrong_;
};

std::optional<std::string> CheckCreate(const KernelCall& call, const ContractCall& expected)
{
    if (!call.create) return "its arguments were not recorded";
    const testbed::CreateFileRequest& r = *call.create;
    FieldCheck check;
    check.Present("FileHandle", r.hasFileHandle, true);
    check.Equal("DesiredAccess", r.desiredAccess, expected.desiredAccess);
    check.Present("ObjectAttributes", r.hasObjectAttributes, true);
    check.Equal("ObjectAttributes->Length", r.objectAttributesLength, r.nativeObjectAttributesSize);
    check.Present("ObjectAttributes->RootDirectory", r.hasRootDirectory, false);
    check.Equal("ObjectAttributes->Attributes", r.attributes, ContractObjectAttributes);
    check.Present("ObjectAttributes->SecurityDescriptor", r.hasSecurityDescriptor, false);
    check.Present("ObjectAttributes->SecurityQualityOfService", r.hasSecurityQualityOfService, false);
    check.Present("ObjectAttributes->ObjectName", r.objectName.has_value(), true);
    if (r.objectName) {
        // Paths are ASCII, so each character is one UTF-16 unit; text is
        // converted only to report a difference.
        const std::u16string expectedName(expected.path.begin(), expected.path.end());
        if (r.objectName->text != expectedName) {
            check.Text("ObjectName", testbed::Utf16ToUtf8(r.objectName->text).value_or("(not UTF-16)"), expected.path);
        }
        check.Equal("ObjectName->Length", r.objectName->length, expectedName.size() * 2);
        // The terminating NUL stored after the counted characters.
        check.Equal("ObjectName->MaximumLength", r.objectName->maximumLength, expectedName.size() * 2 + 2);
    }
    check.Present("IoStatusBlock", r.hasIoStatusBlock, true);
    check.Present("AllocationSize", r.hasAllocationSize, false);
    check.Equal("FileAttributes", r.fileAttributes, expected.fileAttributes);
    check.Equal("ShareAccess", r.shareAccess, expected.shareAccess);
    check.Equal("CreateDisposition", r.createDisposition, expected.createDisposition);
    check.Equal("CreateOptions", r.createOptions, expected.createOptions);
    check.Present("EaBuffer", r.hasEaBuffer, false);
    check.Equal("EaLength", r.eaLength, 0);
    return check.Wrong();
}

std::optional<std::string> CheckWrite(const KernelCall& call, const ContractCall& expected)
{
    if (!call.write) return "its arguments were not recorded";
    const testbed::WriteArguments& w = *call.write;
    FieldCheck check;
    check.Present("Event", w.hasEvent, false);
    check.Present("ApcRoutine", w.hasApcRoutine, false);
    check.Present("ApcContext", w.hasApcContext, false);
    check.Present("IoStatusBlock", w.hasIoStatusBlock, true);
    check.Equal("Length", w.length, expected.bytes.size());
    if (!check.Wrong() && w.data != expected.bytes) {
        return "Buffer holds \"" + testbed::GbkToUtf8(w.data) + "\" (GBK shown as UTF-8), not the text's " +
               std::to_string(expected.bytes.size()) + " GBK bytes";
    }
    // No offset: the write goes to the position of a fresh synchronous open.
    check.Present("ByteOffset", w.byteOffset.has_value(), false);
    check.Present("Key", w.hasKey, false);
    return check.Wrong();
}

// Whether `format` is the GBK form of one of the contract's messages.
bool IsContractFormat(const std::string& format)
{
    static const std::vector<std::string> formats = [] {
        std::vector<std::string> all;
        for (const ContractCall& call : DriverContract()) {
            if (call.format) all.push_back(testbed::Utf8ToGbk(call.format->text).value_or(""));
        }
        return all;
    }();
    for (const std::string& known : formats) {
        if (known == format) return true;
    }
    return false;
}

}  // namespace

const std::vector<ContractCall>& DriverContract()
{
    static const std::vector<ContractCall> table = Build();
    return table;
}

std::optional<std::string> CheckContractArguments(const std::vector<KernelCall>& calls)
{
    std::map<Routine, unsigned> occurrences;
    for (const KernelCall& call : calls) {
        const unsigned occurrence = ++occurrences[call.routine];
        const std::string where = std::string(testbed::RoutineName(call.routine)) + " #" + std::to_string(occurrence);
        switch (call.routine) {
            case Routine::ZwCreateFile: {
                const ContractCall* expected = Find(call.routine, occurrence);
                if (!expected) return where + ": the driver makes three creates, not more";
                if (std::optional<std::string> wrong = CheckCreate(call, *expected)) {
                    return where + " (" + std::string(expected->what) + "): " + *wrong;
                }
                break;
            }
            case Routine::ZwWriteFile: {
                const ContractCall* expected = Find(call.routine, occurrence);
                if (!expected) return where + ": the driver makes one write, not more";
                if (std::optional<std::string> wrong = CheckWrite(call, *expected)) {
                    return where + " (" + std::string(expected->what) + "): " + *wrong;
                }
                break;
            }
            case Routine::ZwClose:
                // Its one argument is the step's own handle, which the run
                // sequence follows from the create that gave it out.
                break;
            case Routine::DbgPrint:
                if (!IsContractFormat(call.format)) {
                    return where + ": format \"" + testbed::GbkToUtf8(call.format) +
                           "\" is none of the driver's fourteen message formats";
                }
                break;
        }
    }
    return std::nullopt;
}

}  // namespace quarnhold::fault_sweep
