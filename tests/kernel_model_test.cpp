// kernel_model_test.cpp
//
// ZwCreateFile, ZwWriteFile and ZwClose of the model against NT's answers,
// the object-name and share-access rules beneath them, and the kernel rules
// a caller can break.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "kernel/kernel_services.h"
#include "testbed/host_kernel_binding.h"
#include "testbed/kernel_model.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/object_namespace.h"
#include "testbed/share_access.h"
#include "testbed/text_encoding.h"
#include "tests/support/disk_state.h"

namespace quarnhold::testbed {
namespace {

using tests::DiskItem;
using tests::ScratchFolder;

CreateFileRequest Request(std::u16string name)
{
    CreateFileRequest request;
    request.desiredAccess = nt::Synchronize;
    request.objectAttributesLength = 24;
    request.nativeObjectAttributesSize = 24;
    uint16_t length = static_cast<uint16_t>(name.size() * 2);
    request.objectName = CountedName{length, static_cast<uint16_t>(length + 2), std::move(name)};
    request.attributes = nt::ObjCaseInsensitive | nt::ObjKernelHandle;
    request.createDisposition = nt::FileOpen;
    request.createOptions = nt::FileSynchronousIoNonalert;
    return request;
}

// The disk every create case starts from.
const std::vector<DiskItem> StartingDisk{
    tests::Directory("dir"),
    tests::File("dir/file", "abc"),
    tests::File("ro", "keep", true),
    tests::Link("link", "dir"),
};

struct CreateCase {
    std::string name;
    std::function<void(CreateFileRequest&)> change;
    NtStatus status;
    std::optional<uint32_t> information;
    bool writeProtected = false;
    bool driveC = true;
    FileSystem fileSystem = FileSystem::Ntfs;
};

void PrintTo(const CreateCase& c, std::ostream* out)
{
    *out << c.name;
}

auto Name(std::u16string name)
{
    return [name](CreateFileRequest& r) {
        uint16_t length = static_cast<uint16_t>(name.size() * 2);
        r.objectName = CountedName{length, static_cast<uint16_t>(length + 2), name};
    };
}
template <class... Changes>
auto All(Changes... changes)
{
    return [=](CreateFileRequest& r) { (changes(r), ...); };
}
auto Access(uint32_t access)
{
    return [=](CreateFileRequest& r) { r.desiredAccess = access; };
}
auto Disposition(uint32_t d)
{
    return [=](CreateFileRequest& r) { r.createDisposition = d; };
}
auto Options(uint32_t o)
{
    return [=](CreateFileRequest& r) { r.createOptions = o; };
}

const std::u16string File = u"\\??\\c:\\dir\\file";
const std::u16string Dir = u"\\??\\c:\\dir";
constexpr uint32_t Sync = nt::FileSynchronousIoNonalert;

const CreateCase CreateCases[] = {
    {"open_file", Name(File), status::Success, nt::FileOpened},
    {"open_file_other_case", Name(u"\\??\\C:\\DIR\\FILE"), status::Success, nt::FileOpened},
    {"dos_devices_alias", Name(u"\\DosDevices\\c:\\dir\\file"), status::Success, nt::FileOpened},
    {"case_sensitive_without_obj_case_insensitive",
     All(Name(u"\\??\\c:\\DIR\\file"), [](CreateFileRequest& r) { r.attributes = nt::ObjKernelHandle; }),
     status::ObjectPathNotFound, std::nullopt},
    {"create_over_file", All(Name(File), Disposition(nt::FileCreate)), status::ObjectNameCollision, std::nullopt},
    {"create_over_directory", All(Name(Dir), Disposition(nt::FileCreate), Options(Sync | nt::FileDirectoryFile)),
     status::ObjectNameCollision, std::nullopt},
    {"open_missing", Name(u"\\??\\c:\\dir\\none"), status::ObjectNameNotFound, std::nullopt},
    {"open_under_missing_directory", Name(u"\\??\\c:\\none\\file"), status::ObjectPathNotFound, std::nullopt},
    {"open_under_a_file", Name(u"\\??\\c:\\dir\\file\\x"), status::ObjectPathNotFound, std::nullopt},
    {"directory_option_on_a_file", All(Name(File), Options(Sync | nt::FileDirectoryFile)), status::NotADirectory,
     std::nullopt},
    {"non_directory_option_on_a_directory", All(Name(Dir), Options(Sync | nt::FileNonDirectoryFile)),
     status::FileIsADirectory, std::nullopt},
    {"open_if_creates_directory",
     All(Name(u"\\??\\c:\\dir\\new"), Disposition(nt::FileOpenIf), Options(Sync | nt::FileDirectoryFile)),
     status::Success, nt::FileCreated},
    {"open_if_opens_directory", All(Name(Dir), Disposition(nt::FileOpenIf), Options(Sync | nt::FileDirectoryFile)),
     status::Success, nt::FileOpened},
    {"open_root", All(Name(u"\\??\\c:\\"), Options(Sync | nt::FileDirectoryFile)), status::Success, nt::FileOpened},
    {"overwrite", All(Name(File), Access(nt::Synchronize | nt::FileWriteData), Disposition(nt::FileOverwrite)),
     status::Success, nt::FileOverwritten},
    {"supersede", All(Name(File), Disposition(nt::FileSupersede)), status::Success, nt::FileSuperseded},
    {"overwrite_missing", All(Name(u"\\??\\c:\\dir\\none"), Disposition(nt::FileOverwrite)), status::ObjectNameNotFound,
     std::nullopt},
    {"read_only_file_for_reading", All(Name(u"\\??\\c:\\ro"), Access(nt::Synchronize | nt::FileReadData)),
     status::Success, nt::FileOpened},
    {"read_only_file_for_writing", All(Name(u"\\??\\c:\\ro"), Access(nt::Synchronize | nt::FileWriteData)),
     status::AccessDenied, std::nullopt},
    {"read_only_file_generic_write", All(Name(u"\\??\\c:\\ro"), Access(nt::GenericWrite)), status::AccessDenied,
     std::nullopt},
    {"through_a_link", Name(u"\\??\\c:\\link\\file"), status::IoReparseTagNotHandled, std::nullopt},
    {"relative_name", Name(u"dir\\file"), status::ObjectPathSyntaxBad, std::nullopt},
    {"other_drive", Name(u"\\??\\d:\\dir\\file"), status::ObjectPathNotFound, std::nullopt},
    {"unknown_object_directory", Name(u"\\Device\\x"), status::ObjectPathNotFound, std::nullopt},
    {"dot_dot", Name(u"\\??\\c:\\dir\\..\\ro"), status::ObjectNameInvalid, std::nullopt},
    {"reserved_character", Name(u"\\??\\c:\\dir\\a*b"), status::ObjectNameInvalid, std::nullopt},
    {"empty_component", Name(u"\\??\\c:\\dir\\\\file"), status::ObjectNameInvalid, std::nullopt},
    {"no_object_name", [](CreateFileRequest& r) { r.objectName.reset(); }, status::ObjectNameInvalid, std::nullopt},
    {"directory_and_non_directory", Options(Sync | nt::FileDirectoryFile | nt::FileNonDirectoryFile),
     status::InvalidParameter, std::nullopt},
    {"synchronous_without_synchronize", All(Name(File), Access(nt::FileReadData)), status::InvalidParameter,
     std::nullopt},
    {"both_synchronous_modes", Options(nt::FileSynchronousIoAlert | Sync), status::InvalidParameter, std::nullopt},
    {"disposition_out_of_range", Disposition(6), status::InvalidParameter, std::nullopt},
    {"directory_with_overwrite_if", All(Disposition(nt::FileOverwriteIf), Options(Sync | nt::FileDirectoryFile)),
     status::InvalidParameter, std::nullopt},
    {"share_flags_out_of_range", [](CreateFileRequest& r) { r.shareAccess = 8; }, status::InvalidParameter,
     std::nullopt},
    {"no_drive_c", Name(File), status::ObjectPathNotFound, std::nullopt, false, false},
    {"write_protected_open_for_reading", Name(File), status::Success, nt::FileOpened, true},
    {"write_protected_open_for_writing", All(Name(File), Access(nt::Synchronize | nt::FileWriteData)),
     status::MediaWriteProtected, std::nullopt, true},
    {"write_protected_maximum_allowed", All(Name(File), Access(nt::Synchronize | nt::MaximumAllowed)), status::Success,
     nt::FileOpened, true},
    {"write_protected_create", All(Name(u"\\??\\c:\\dir\\new"), Disposition(nt::FileCreate)),
     status::MediaWriteProtected, std::nullopt, true},
    {"write_protected_create_over_existing", All(Name(File), Disposition(nt::FileCreate)), status::ObjectNameCollision,
     std::nullopt, true},
    {"write_protected_overwrite", All(Name(File), Disposition(nt::FileOverwriteIf)), status::MediaWriteProtected,
     std::nullopt, true},
    // FAT checks write protection only where a create would change the disk.
    {"fat_write_protected_open_for_writing", All(Name(File), Access(nt::Synchronize | nt::FileWriteData)),
     status::Success, nt::FileOpened, true, true, FileSystem::Fat},
    {"fat_write_protected_overwrite", All(Name(File), Disposition(nt::FileOverwriteIf)), status::MediaWriteProtected,
     std::nullopt, true, true, FileSystem::Fat},
    {"fat_write_protected_create", All(Name(u"\\??\\c:\\dir\\new"), Disposition(nt::FileCreate)),
     status::MediaWriteProtected, std::nullopt, true, true, FileSystem::Fat},
    {"fat_read_only_file_for_writing", All(Name(u"\\??\\c:\\ro"), Access(nt::Synchronize | nt::FileWriteData)),
     status::AccessDenied, std::nullopt, false, true, FileSystem::Fat},
    // FAT compares names upcased, whatever the caller asks.
    {"fat_ignores_a_case_sensitive_open",
     All(Name(u"\\??\\c:\\DIR\\file"), [](CreateFileRequest& r) { r.attributes = nt::ObjKernelHandle; }),
     status::Success, nt::FileOpened, false, true, FileSystem::Fat},
};

class CreateFileTest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateFileTest, AnswersAsNtDoes)
{
    const CreateCase& c = GetParam();
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), StartingDisk);
    KernelModel model(DriveC{c.driveC ? std::optional(driveC.path()) : std::nullopt, c.writeProtected, c.fileSystem});

    CreateFileRequest request = Request(u"\\??\\c:\\dir\\file");
    c.change(request);
    CreateFileResult result = model.CreateFile(request);

    EXPECT_EQ(result.status, c.status) << DescribeStatus(result.status);
    EXPECT_EQ(result.information, c.information);
    EXPECT_EQ(model.Counts().opened, result.status == status::Success ? 1u : 0u);
    if (result.status == status::Success) {
        EXPECT_EQ(result.handle & KernelModel::KernelHandleBit, KernelModel::KernelHandleBit);
    }
    // Nothing the model answers may depend on who runs it: read-only files
    // stay read-only for root too.
    std::vector<DiskItem> disk = tests::ReadDisk(driveC.path());
    EXPECT_EQ(std::count_if(disk.begin(), disk.end(), [](const DiskItem& i) { return i.readOnly; }), 1);
    // Refused or not, every one of these calls is a lawful one.
    for (const BrokenRule& broken : model.BrokenRules()) {
        ADD_FAILURE() << broken.rule << ", in " << broken.call;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CreateFileTest, ::testing::ValuesIn(CreateCases),
                         [](const ::testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

struct ShareCase {
    std::string name;
    std::vector<ShareState> existing;
    ShareState wanted;
    bool allowed;
};

void PrintTo(const ShareCase& c, std::ostream* out)
{
    *out << c.name;
}

const uint32_t Read = nt::FileReadData, Write = nt::FileWriteData, Erase = nt::Delete;
const uint32_t ShareR = nt::FileShareRead, ShareW = nt::FileShareWrite, ShareD = nt::FileShareDelete;

const ShareCase ShareCases[] = {
    {"first_open", {}, {Write, 0}, true},
    {"reader_sharing_reads_blocks_writer", {{Read, ShareR}}, {Write, ShareR}, false},
    {"reader_sharing_writes_admits_writer", {{Read, ShareR | ShareW}}, {Write, ShareR}, true},
    {"writer_must_share_back_for_the_reader", {{Read, ShareR | ShareW}}, {Write, 0}, false},
    {"writer_sharing_all_still_blocks_writer_sharing_reads",
     {{Write, ShareR | ShareW | ShareD}},
     {Write, ShareR},
     false},
    {"deleter_blocks_unless_delete_shared", {{Erase, ShareR | ShareW}}, {Write, ShareR | ShareW}, false},
    {"deleter_admits_when_delete_shared", {{Erase, ShareR | ShareW}}, {Write, ShareR | ShareW | ShareD}, true},
    {"holder_without_data_access_constrains_no_one", {{nt::Synchronize | nt::FileReadAttributes, 0}}, {Write, 0}, true},
    {"open_without_data_access_is_never_refused", {{Read | Write | Erase, 0}}, {nt::Synchronize, 0}, true},
    {"append_counts_as_write", {{Read, ShareR}}, {nt::FileAppendData, ShareR}, false},
    {"execute_counts_as_read", {{Write, ShareW}}, {nt::FileExecute, ShareW}, false},
};

class ShareAccessTest : public ::testing::TestWithParam<ShareCase> {};

TEST_P(ShareAccessTest, FollowsIoCheckShareAccess)
{
    EXPECT_EQ(ShareAccessAllows(GetParam().existing, GetParam().wanted), GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShareAccessTest, ::testing::ValuesIn(ShareCases),
                         [](const ::testing::TestParamInfo<ShareCase>& info) { return info.param.name; });

// One handle's writes, in order: each lands at the position the previous
// one left, an explicit offset overrides it, and nothing truncates.
TEST(WriteFileTest, FollowsThePositionAndNeverTruncates)
{
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), {tests::File("f", "0123456789")});
    KernelModel model(DriveC{driveC.path(), false});
    CreateFileRequest open = Request(u"\\??\\c:\\f");
    open.desiredAccess = nt::Synchronize | nt::FileWriteData;
    CreateFileResult opened = model.CreateFile(open);
    ASSERT_EQ(opened.status, status::Success);

    auto write = [&](std::string text, std::optional<int64_t> offset) {
        WriteFileRequest request;
        request.handle = opened.handle;
        request.data = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        request.length = static_cast<uint32_t>(text.size());
        request.byteOffset = offset;
        return model.WriteFile(request);
    };
    EXPECT_EQ(write("ab", std::nullopt).information, 2u);
    EXPECT_EQ(write("cd", std::nullopt).status, status::Success);
    EXPECT_EQ(write("X", 7).status, status::Success);
    EXPECT_EQ(write("e", nt::FileUseFilePointerPosition).status, status::Success);
    EXPECT_EQ(write("!", nt::FileWriteToEndOfFile).status, status::Success);
    EXPECT_EQ(write("?", -5).status, status::InvalidParameter);
    EXPECT_EQ(tests::ReadDisk(driveC.path()), std::vector<DiskItem>{tests::File("f", "abcd456Xe9!")});
    EXPECT_EQ(model.Close(opened.handle), status::Success);
    EXPECT_TRUE(model.BrokenRules().empty());
}

TEST(WriteFileTest, RefusesWhatNtRefuses)
{
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), {tests::File("f", "x"), tests::Directory("d")});
    KernelModel model(DriveC{driveC.path(), false});
    auto open = [&](std::u16string name, uint32_t access, uint32_t options) {
        CreateFileRequest request = Request(std::move(name));
        request.desiredAccess = access;
        request.createOptions = options;
        request.shareAccess = nt::FileShareValidFlags;
        CreateFileResult result = model.CreateFile(request);
        EXPECT_EQ(result.status, status::Success);
        return result.handle;
    };
    auto write = [&](uint32_t handle) {
        static const uint8_t byte = 'y';
        WriteFileRequest request;
        request.handle = handle;
        request.data = std::span(&byte, 1);
        request.length = 1;
        return model.WriteFile(request).status;
    };
    EXPECT_EQ(write(open(u"\\??\\c:\\f", nt::Synchronize | nt::FileReadData, Sync)), status::AccessDenied);
    EXPECT_EQ(write(open(u"\\??\\c:\\d", nt::Synchronize | nt::FileWriteData, Sync)), status::InvalidDeviceRequest);
    // An asynchronous handle has no position: it needs a ByteOffset.
    EXPECT_EQ(write(open(u"\\??\\c:\\f", nt::FileWriteData, 0)), status::InvalidParameter);
    EXPECT_TRUE(model.BrokenRules().empty());

    // Using a handle that is not open is what a verifier stops a driver for.
    EXPECT_EQ(write(0x80000400), status::InvalidHandle);
    EXPECT_EQ(model.Close(0x80000400), status::InvalidHandle);
    EXPECT_EQ(model.BrokenRules().size(), 2u);
    EXPECT_EQ(tests::ReadDisk(driveC.path())[1], tests::File("f", "x"));
}

TEST(CloseTest, CountsEveryOpenAndCloseOnce)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false});
    CreateFileRequest request = Request(u"\\??\\c:\\");
    request.createOptions = Sync | nt::FileDirectoryFile;
    uint32_t first = model.CreateFile(request).handle;
    uint32_t second = model.CreateFile(request).handle;
    EXPECT_NE(first, second);
    EXPECT_EQ(model.OpenHandles().size(), 2u);
    EXPECT_EQ(model.Close(first), status::Success);
    EXPECT_EQ(model.Close(first), status::InvalidHandle);
    EXPECT_EQ(model.OpenHandles().size(), 1u);
    EXPECT_EQ(model.Counts().opened, 2u);
    EXPECT_EQ(model.Counts().closed, 1u);
}

// The handles each rule case starts with, on drive C's file f.
struct Handles {
    uint32_t open = 0;            // a kernel handle open for writing
    uint32_t closed = 0;          // a kernel handle opened and closed
    uint32_t user = 0;            // a handle without the kernel bit, open for writing
    uint32_t never = 0x80000400;  // a kernel handle value never given out
};

using Call = std::function<NtStatus(KernelModel&, const Handles&)>;

struct RuleCase {
    std::string name;
    Call call;
    NtStatus status;
    std::string rule;          // a part of the one rule the call breaks; empty: it breaks none
    std::string reportedCall;  // the start of the call as the rule names it
};

void PrintTo(const RuleCase& c, std::ostream* out)
{
    *out << c.name;
}

// A lawful open of f for writing, shared so that the setup's opens stand
// side by side.
CreateFileRequest OpenF()
{
    CreateFileRequest request = Request(u"\\??\\c:\\f");
    request.desiredAccess = nt::Synchronize | nt::FileWriteData;
    request.shareAccess = nt::FileShareRead | nt::FileShareWrite;
    return request;
}

// The calls under test: OpenF, a two-byte write at offset 0, or a close,
// each as the case changes it.
Call CreateF(std::function<void(CreateFileRequest&)> change)
{
    return [=](KernelModel& model, const Handles&) {
        CreateFileRequest request = OpenF();
        change(request);
        return model.CreateFile(request).status;
    };
}

Call WriteOn(
    uint32_t Handles::*handle, std::function<void(WriteFileRequest&)> change = [](WriteFileRequest&) {})
{
    return [=](KernelModel& model, const Handles& handles) {
        static const uint8_t Text[] = {'h', 'i'};
        WriteFileRequest request;
        request.handle = handles.*handle;
        request.data = Text;
        request.length = sizeof(Text);
        request.byteOffset = 0;
        change(request);
        return model.WriteFile(request).status;
    };
}

Call CloseOf(uint32_t Handles::*handle)
{
    return [=](KernelModel& model, const Handles& handles) { return model.Close(handles.*handle); };
}

auto Unreadable(CallerRecord record, uint64_t address)
{
    return [=](auto& request) { request.unreadable = UnreadableRecord{record, address}; };
}

const std::string CreateOfF = "ZwCreateFile(\"\\??\\c:\\f\" access 0x00100002 share 0x00000003 FILE_OPEN";

const RuleCase RuleCases[] = {
    {"close_open_handle", CloseOf(&Handles::open), status::Success, "", ""},
    {"close_twice", CloseOf(&Handles::closed), status::InvalidHandle, "already closed: closed twice",
     "ZwClose(0x80000008)"},
    {"close_never_given_out", CloseOf(&Handles::never), status::InvalidHandle, "never given out",
     "ZwClose(0x80000400)"},
    {"close_user_handle", CloseOf(&Handles::user), status::Success, "0x0000000C, which is not a kernel handle",
     "ZwClose(0x0000000C)"},

    {"write_open_handle", WriteOn(&Handles::open), status::Success, "", ""},
    {"write_after_close", WriteOn(&Handles::closed), status::InvalidHandle, "already closed: used after close",
     "ZwWriteFile(handle 0x80000008 length 2)"},
    {"write_never_given_out", WriteOn(&Handles::never), status::InvalidHandle, "never given out",
     "ZwWriteFile(handle 0x80000400 length 2)"},
    {"write_user_handle", WriteOn(&Handles::user), status::Success, "which is not a kernel handle",
     "ZwWriteFile(handle 0x0000000C length 2)"},
    {"write_without_io_status_block", WriteOn(&Handles::open, [](WriteFileRequest& r) { r.hasIoStatusBlock = false; }),
     status::AccessViolation, "without an IoStatusBlock", "ZwWriteFile(handle 0x80000004"},
    {"write_unreadable_buffer", WriteOn(&Handles::open, Unreadable(CallerRecord::Buffer, 0)), status::AccessViolation,
     "Buffer at 0x00000000 cannot be read", "ZwWriteFile(handle 0x80000004 length 2)"},
    {"write_unreadable_byte_offset", WriteOn(&Handles::open, Unreadable(CallerRecord::ByteOffset, 0x1000)),
     status::AccessViolation, "ByteOffset at 0x00001000 cannot be read", "ZwWriteFile(handle 0x80000004"},
    {"write_of_nothing_needs_no_buffer",
     WriteOn(&Handles::open,
             [](WriteFileRequest& r) {
                 r.data = {};
                 r.length = 0;
             }),
     status::Success, "", ""},

    {"create_lawful", CreateF([](CreateFileRequest&) {}), status::Success, "", ""},
    {"create_without_obj_kernel_handle", CreateF([](CreateFileRequest& r) { r.attributes = nt::ObjCaseInsensitive; }),
     status::Success, "without OBJ_KERNEL_HANDLE", CreateOfF},
    {"object_attributes_length_wrong", CreateF([](CreateFileRequest& r) { r.objectAttributesLength = 0; }),
     status::InvalidParameter, "ObjectAttributes->Length is 0, not sizeof(OBJECT_ATTRIBUTES) 24", CreateOfF},
    {"object_attributes_unreadable", CreateF(Unreadable(CallerRecord::ObjectAttributes, 0x1000)),
     status::AccessViolation, "ObjectAttributes at 0x00001000 cannot be read",
     "ZwCreateFile((ObjectAttributes unreadable) access 0x00100002"},
    {"name_length_odd", CreateF([](CreateFileRequest& r) { r.objectName->length = 3; }), status::ObjectNameInvalid,
     "ObjectName->Length 3 is odd", CreateOfF},
    {"name_length_over_maximum",
     CreateF([](CreateFileRequest& r) { r.objectName->maximumLength = r.objectName->length - 2; }),
     status::ObjectNameInvalid, "ObjectName->Length 16 exceeds its MaximumLength 14", CreateOfF},
    {"name_length_at_maximum",
     CreateF([](CreateFileRequest& r) { r.objectName->maximumLength = r.objectName->length; }), status::Success, "",
     ""},
    {"name_unreadable", CreateF(Unreadable(CallerRecord::ObjectName, 0x1000)), status::AccessViolation,
     "ObjectAttributes->ObjectName at 0x00001000 cannot be read", "ZwCreateFile((ObjectAttributes->ObjectName"},
    {"name_buffer_unreadable", CreateF(Unreadable(CallerRecord::ObjectNameBuffer, 0)), status::AccessViolation,
     "ObjectName->Buffer at 0x00000000 cannot be read", "ZwCreateFile((ObjectName->Buffer unreadable)"},
    // NT refuses the Length before it reads the name, so the name is never
    // touched.
    {"name_buffer_behind_a_wrong_length", CreateF([](CreateFileRequest& r) {
         r.objectAttributesLength = 12;
         r.unreadable = UnreadableRecord{CallerRecord::ObjectNameBuffer, 0};
     }),
     status::InvalidParameter, "ObjectAttributes->Length is 12", "ZwCreateFile((ObjectName->Buffer unreadable)"},
};

// Every case runs after the same opens and closes; with `inject`, the call
// under test is also handed a disk-full failure.
class KernelRuleTest : public ::testing::TestWithParam<RuleCase> {
protected:
    struct Answer {
        NtStatus status;
        std::vector<BrokenRule> rules;  // the ones the call under test broke
    };

    Answer Run(bool inject)
    {
        std::vector<InjectedFault> faults;
        if (inject) {
            faults = {{Routine::ZwCreateFile, 4, status::DiskFull, std::nullopt},
                      {Routine::ZwWriteFile, 1, status::DiskFull, std::nullopt},
                      {Routine::ZwClose, 2, status::DiskFull, std::nullopt}};
        }
        tests::LayDown(driveC_.path(), {tests::File("f", "0123")});
        KernelModel model(DriveC{driveC_.path(), false}, faults);
        Handles handles;
        handles.open = model.CreateFile(OpenF()).handle;
        handles.closed = model.CreateFile(OpenF()).handle;
        EXPECT_EQ(model.Close(handles.closed), status::Success);
        CreateFileRequest user = OpenF();
        user.attributes = nt::ObjCaseInsensitive;
        handles.user = model.CreateFile(user).handle;
        EXPECT_EQ(model.Counts().opened, 3u);
        const size_t before = model.BrokenRules().size();

        NtStatus status = GetParam().call(model, handles);
        return {status, {model.BrokenRules().begin() + before, model.BrokenRules().end()}};
    }

    ScratchFolder driveC_;
};

TEST_P(KernelRuleTest, IsReportedWithTheCall)
{
    const RuleCase& c = GetParam();
    Answer answer = Run(false);
    EXPECT_EQ(answer.status, c.status) << DescribeStatus(answer.status);
    if (c.rule.empty()) {
        for (const BrokenRule& broken : answer.rules) ADD_FAILURE() << broken.rule << ", in " << broken.call;
        return;
    }
    ASSERT_EQ(answer.rules.size(), 1u);
    EXPECT_NE(answer.rules[0].rule.find(c.rule), std::string::npos) << answer.rules[0].rule;
    EXPECT_EQ(answer.rules[0].call.rfind(c.reportedCall, 0), 0u) << answer.rules[0].call;
}

TEST_P(KernelRuleTest, IsNotHiddenByAnInjectedFault)
{
    const RuleCase& c = GetParam();
    Answer answer = Run(true);
    // A refusal for a broken rule comes first; a call that goes on meets
    // the fault.
    EXPECT_EQ(answer.status, c.status == status::Success ? status::DiskFull : c.status)
        << DescribeStatus(answer.status);
    ASSERT_EQ(answer.rules.size(), c.rule.empty() ? 0u : 1u);
    if (!c.rule.empty()) {
        EXPECT_NE(answer.rules[0].rule.find(c.rule), std::string::npos) << answer.rules[0].rule;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelRuleTest, ::testing::ValuesIn(RuleCases),
                         [](const ::testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

// The host build cannot tell a bad pointer from a good one, save null: a
// null Buffer with a Length is the unreadable one, and without a Length it
// is never read.
TEST(HostRoutinesTest, NullBufferWithALengthIsUnreadable)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false});
    HostKernelBinding binding(model);
    WCHAR name[] = u"\\??\\c:\\f";
    UNICODE_STRING unreadableName = {sizeof(name) - sizeof(WCHAR), sizeof(name), nullptr};
    UNICODE_STRING fileName = {sizeof(name) - sizeof(WCHAR), sizeof(name), name};
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file = nullptr;
    InitializeObjectAttributes(&attributes, &unreadableName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(static_cast<NtStatus>(ZwCreateFile(&file, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &io, nullptr, 0, 0,
                                                 FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0)),
              status::AccessViolation);
    InitializeObjectAttributes(&attributes, &fileName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwCreateFile(&file, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &io, nullptr, 0, 0, FILE_CREATE,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, nullptr, 0, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<NtStatus>(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, nullptr, 4, nullptr, nullptr)),
              status::AccessViolation);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

    ASSERT_EQ(model.BrokenRules().size(), 2u);
    EXPECT_EQ(model.BrokenRules()[0].rule.rfind("ObjectName->Buffer at 0x00000000 cannot be read", 0), 0u);
    EXPECT_EQ(model.BrokenRules()[0].call.rfind("ZwCreateFile((ObjectName->Buffer unreadable)", 0), 0u);
    EXPECT_EQ(model.BrokenRules()[1].rule.rfind("Buffer at 0x00000000 cannot be read", 0), 0u);
    EXPECT_EQ(model.BrokenRules()[1].call, "ZwWriteFile(handle 0x80000004 length 4)");
}

TEST(CreateFileTest, UserHandleIsAFinding)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false});
    CreateFileRequest request = Request(u"\\??\\c:\\");
    request.createOptions = Sync | nt::FileDirectoryFile;
    request.attributes = nt::ObjCaseInsensitive;
    CreateFileResult result = model.CreateFile(request);
    EXPECT_EQ(result.status, status::Success);
    EXPECT_EQ(result.handle & KernelModel::KernelHandleBit, 0u);
    ASSERT_EQ(model.BrokenRules().size(), 1u);
    EXPECT_NE(model.BrokenRules()[0].rule.find("OBJ_KERNEL_HANDLE"), std::string::npos);
}

TEST(DebugPrintTest, KeepsAtMost512BytesPerCall)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false});
    struct NoArguments final : FormatArguments {
        uint32_t NextInt32() override { return 0; }
        uint64_t NextInt64() override { return 0; }
        uint64_t NextPointer() override { return 0; }
        int PointerDigits() const override { return 8; }
        std::optional<std::string> ReadString(uint64_t) override { return std::nullopt; }
        std::optional<std::u16string> ReadWideString(uint64_t) override { return std::nullopt; }
        std::optional<std::u16string> ReadCountedWideString(uint64_t) override { return std::nullopt; }
    } none;
    model.DebugPrint(std::string(600, 'x'), none);
    model.DebugPrint("short", none);
    ASSERT_EQ(model.DebugOutput().size(), 2u);
    EXPECT_EQ(model.DebugOutput()[0], std::string(512, 'x'));
    EXPECT_EQ(model.DebugOutput()[1], "short");
    ASSERT_EQ(model.BrokenRules().size(), 1u);
    EXPECT_EQ(model.BrokenRules()[0].call, "DbgPrint(\"" + std::string(600, 'x') + "\")");
    // The call in progress names the format as UTF-8, and the call after it
    // names itself.
    model.DebugPrint("\xC7\xFD\xB6\xAF", none);  // 驱动
    EXPECT_EQ(model.CallInProgress(), "DbgPrint(\"驱动\")");
    model.Close(0x80000004);
    EXPECT_EQ(model.CallInProgress(), "ZwClose(0x80000004)");
}

TEST(InjectedFaultTest, HitsOnlyTheNamedCall)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false}, {{Routine::ZwCreateFile, 2, status::DiskFull, std::nullopt}});
    CreateFileRequest request = Request(u"\\??\\c:\\");
    request.createOptions = Sync | nt::FileDirectoryFile;
    EXPECT_EQ(model.CreateFile(request).status, status::Success);
    EXPECT_EQ(model.CreateFile(request).status, status::DiskFull);
    EXPECT_EQ(model.CreateFile(request).status, status::Success);
    EXPECT_EQ(model.Counts().opened, 2u);
}

// An Information the create reports anyway changes nothing, so the call
// is not counted as injected; any other is reported, and counted.
TEST(InjectedFaultTest, InformationTheCallReportsAnywayIsNoFault)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path(), false}, {{Routine::ZwCreateFile, 1, std::nullopt, nt::FileCreated},
                                                     {Routine::ZwCreateFile, 2, std::nullopt, nt::FileCreated}});
    CreateFileRequest request = Request(u"\\??\\c:\\dir");
    request.createDisposition = nt::FileOpenIf;
    request.createOptions = Sync | nt::FileDirectoryFile;
    EXPECT_EQ(model.CreateFile(request).information, nt::FileCreated);
    EXPECT_EQ(model.CreateFile(request).information, nt::FileCreated) << "an open, reported as a create";
    ASSERT_EQ(model.Calls().size(), 2u);
    EXPECT_FALSE(model.Calls()[0].injected);
    EXPECT_TRUE(model.Calls()[1].injected);
}

TEST(ForeignOpenTest, MissingFileIsRefusedUpFront)
{
    ScratchFolder driveC;
    EXPECT_THROW(
        KernelModel(DriveC{driveC.path(), false}, {}, {{u"\\??\\c:\\none", nt::FileReadData, 0, false, std::nullopt}}),
        std::runtime_error);
    EXPECT_THROW(KernelModel(DriveC{driveC.path() / "none", false}), std::runtime_error);
}

// A directory another holder set the delete disposition on refuses a new
// name inside it, whichever way the walk reached it; any other directory's
// disposition leaves the create alone.
struct HeldDirectoryCase {
    std::string name;
    std::u16string held;     // the directory held open with delete pending
    std::u16string created;  // the file a create asks for
    NtStatus status;
};

void PrintTo(const HeldDirectoryCase& c, std::ostream* out)
{
    *out << c.name;
}

class HeldDirectoryTest : public ::testing::TestWithParam<HeldDirectoryCase> {};

TEST_P(HeldDirectoryTest, RefusesANewNameOnlyInThatDirectory)
{
    const HeldDirectoryCase& c = GetParam();
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), {tests::Directory("dir"), tests::Directory("dir/sub"), tests::Directory("other")});
    const uint32_t shareAll = nt::FileShareRead | nt::FileShareWrite | nt::FileShareDelete;
    KernelModel model(DriveC{driveC.path(), false}, {},
                      {{u"\\??\\c:\\" + c.held, nt::Delete | nt::Synchronize, shareAll, true, std::nullopt}});
    CreateFileRequest request = Request(u"\\??\\c:\\" + c.created);
    request.createDisposition = nt::FileCreate;
    EXPECT_EQ(model.CreateFile(request).status, c.status);
    std::string onHost = Utf16ToUtf8(c.created).value();
    std::replace(onHost.begin(), onHost.end(), '\\', '/');
    EXPECT_EQ(std::filesystem::exists(driveC.path() / onHost), c.status == status::Success);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeldDirectoryTest,
    ::testing::Values(HeldDirectoryCase{"parent_held", u"dir", u"dir\\new", status::DeletePending},
                      HeldDirectoryCase{"parent_held_by_another_spelling", u"DIR", u"dir\\new", status::DeletePending},
                      HeldDirectoryCase{"deeper_parent_held", u"dir\\sub", u"dir\\sub\\new", status::DeletePending},
                      HeldDirectoryCase{"sibling_held", u"other", u"dir\\new", status::Success},
                      HeldDirectoryCase{"child_held", u"dir\\sub", u"dir\\new", status::Success}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quarnhold::testbed
