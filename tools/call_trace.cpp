// call_trace.cpp

#include "tools/call_trace.h"

#include "emulator/hex_text.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/nt_flag_names.h"
#include "testbed/nt_status.h"
#include "testbed/text_encoding.h"

namespace quarnhold::tools {
namespace {

using emulator::Hex;
using testbed::CallerRecord;
using testbed::CreateFileRequest;
using ordered_json = nlohmann::ordered_json;

// The object name as the caller gave it, when it could be read.
std::optional<std::string> ObjectName(const CreateFileRequest& request)
{
    if (request.unreadable || !request.objectName) return std::nullopt;
    return testbed::Utf16ToUtf8(request.objectName->text).value_or("(not UTF-16)");
}

// What stands for the name when there is none to show.
std::string MissingName(const CreateFileRequest& request)
{
    if (request.unreadable) return "(" + std::string(testbed::CallerRecordName(request.unreadable->record)) + " unreadable)";
    return "(no name)";
}

// Whether OBJECT_ATTRIBUTES.Attributes was read: there was a record, and it
// could be.
bool AttributesKnown(const CreateFileRequest& request)
{
    return request.hasObjectAttributes &&
           !(request.unreadable && request.unreadable->record == CallerRecord::ObjectAttributes);
}

bool AsksForDirectory(const CreateFileRequest& request)
{
    return request.createOptions & testbed::nt::FileDirectoryFile;
}

std::string ByteOffsetText(int64_t offset)
{
    if (offset == testbed::nt::FileWriteToEndOfFile) return "FILE_WRITE_TO_END_OF_FILE";
    if (offset == testbed::nt::FileUseFilePointerPosition) return "FILE_USE_FILE_POINTER_POSITION";
    return std::to_string(offset);
}

ordered_json FlagsJson(uint32_t value, const testbed::FlagNames& flags)
{
    return {{"value", Hex(value, 8)},
            {"names", flags.names},
            {"unknown", flags.unknown != 0 ? ordered_json(Hex(flags.unknown, 8)) : ordered_json(nullptr)}};
}

template <class T>
ordered_json OrNull(const std::optional<T>& value)
{
    return value ? ordered_json(*value) : ordered_json(nullptr);
}

}  // namespace

std::string TraceLine(const testbed::KernelCall& call)
{
    std::string line(testbed::RoutineName(call.routine));
    if (call.routine == testbed::Routine::ZwCreateFile && call.create) {
        const CreateFileRequest& request = *call.create;
        const std::optional<std::string> name = ObjectName(request);
        line += " " + (name ? "\"" + *name + "\"" : MissingName(request));
        line += " access " + testbed::JoinFlagNames(testbed::AccessMaskNames(request.desiredAccess,
                                                                             AsksForDirectory(request)));
        line += " share " + testbed::JoinFlagNames(testbed::ShareAccessNames(request.shareAccess));
        line += " " + std::string(testbed::CreateDispositionName(request.createDisposition)
                                      .value_or("disposition " + Hex(request.createDisposition, 8)));
        line += " options " + testbed::JoinFlagNames(testbed::CreateOptionNames(request.createOptions));
        if (AttributesKnown(request)) {
            line += " attributes " + testbed::JoinFlagNames(testbed::ObjectAttributeNames(request.attributes));
        }
    } else if (call.routine == testbed::Routine::ZwWriteFile && call.write) {
        line += " handle " + Hex(call.handle, 8) + " length " + std::to_string(call.write->length);
        if (call.write->byteOffset) line += " at " + ByteOffsetText(*call.write->byteOffset);
    } else if (call.routine == testbed::Routine::ZwClose) {
        line += " handle " + Hex(call.handle, 8);
    } else {
        // DbgPrint: the message, as the model quoted it.
        return line + " " + call.detail;
    }
    return line + " -> " + call.outcome;
}

std::optional<std::string> TraceCaller(const testbed::KernelCall& call, const SourceLocations& locations)
{
    if (!call.callerRva) return std::nullopt;
    return "called from " + locations.DescribeRva(*call.callerRva, true);
}

ordered_json CallJson(const testbed::KernelCall& call, const SourceLocations& locations)
{
    ordered_json record = {{"routine", testbed::RoutineName(call.routine)},
                           {"status", Hex(call.status, 8)},
                           {"detail", call.detail}};
    const std::string_view statusName = testbed::StatusName(call.status);
    record["statusName"] = statusName.empty() ? ordered_json(nullptr) : ordered_json(statusName);
    record["injected"] = call.injected;
    if (call.routine == testbed::Routine::ZwCreateFile && call.create) {
        const CreateFileRequest& request = *call.create;
        record["path"] = OrNull(ObjectName(request));
        record["access"] = FlagsJson(request.desiredAccess,
                                     testbed::AccessMaskNames(request.desiredAccess, AsksForDirectory(request)));
        record["share"] = FlagsJson(request.shareAccess, testbed::ShareAccessNames(request.shareAccess));
        record["disposition"] = {{"value", Hex(request.createDisposition, 8)},
                                 {"name", OrNull(testbed::CreateDispositionName(request.createDisposition))}};
        record["options"] = FlagsJson(request.createOptions, testbed::CreateOptionNames(request.createOptions));
        record["attributes"] = AttributesKnown(request)
                                   ? FlagsJson(request.attributes, testbed::ObjectAttributeNames(request.attributes))
                                   : ordered_json(nullptr);
        record["fileAttributes"] =
            FlagsJson(request.fileAttributes, testbed::FileAttributeNames(request.fileAttributes));
        record["handle"] = call.handle != 0 ? ordered_json(Hex(call.handle, 8)) : ordered_json(nullptr);
        record["information"] = OrNull(call.information);
        record["informationName"] =
            call.information ? OrNull(testbed::CreateInformationName(*call.information)) : ordered_json(nullptr);
    } else if (call.routine == testbed::Routine::ZwWriteFile && call.write) {
        record["handle"] = Hex(call.handle, 8);
        record["length"] = call.write->length;
        record["byteOffset"] = OrNull(call.write->byteOffset);
        record["information"] = OrNull(call.information);
    } else if (call.routine == testbed::Routine::ZwClose) {
        record["handle"] = Hex(call.handle, 8);
    }
    record["caller"] = LocationJson(call.callerRva, true, locations);
    return record;
}

ordered_json LocationJson(std::optional<uint32_t> rva, bool returnAddress, const SourceLocations& locations)
{
    if (!rva) return nullptr;
    ordered_json location = {{"rva", Hex(*rva, 8)}, {"location", locations.NameRva(*rva)}};
    const SourceLine* line = locations.Line(*rva, returnAddress);
    location["file"] = line ? ordered_json(line->file) : ordered_json(nullptr);
    location["line"] = line ? ordered_json(line->line) : ordered_json(nullptr);
    location["function"] = line && !line->function.empty() ? ordered_json(line->function) : ordered_json(nullptr);
    return location;
}

}  // namespace quarnhold::tools
