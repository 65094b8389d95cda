// kernel_model_test.cpp
//
// ZwCreateFile, ZwWriteFile and ZwClose of the model against NT's answers,
// and the object-name and share-access rules beneath them.

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "testbed/kernel_model.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/object_namespace.h"
#include "testbed/share_access.h"
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
    tests::Directory("dir"),         tests::File("dir/file", "abc"), tests::File("ro", "keep", true),
    tests::Link("link", "dir"),
};

struct CreateCase {
    std::string name;
    std::function<void(CreateFileRequest&)> change;
    NtStatus status;
    std::optional<uint32_t> information;
    bool writeProtected = false;
    bool driveC = true;
};

void PrintTo(const CreateCase& c, std::ostream* out) { *out << c.name; }

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
auto Access(uint32_t access) { return [=](CreateFileRequest& r) { r.desiredAccess = access; }; }
auto Disposition(uint32_t d) { return [=](CreateFileRequest& r) { r.createDisposition = d; }; }
auto Options(uint32_t o) { return [=](CreateFileRequest& r) { r.createOptions = o; }; }

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
    {"overwrite_missing", All(Name(u"\\??\\c:\\dir\\none"), Disposition(nt::FileOverwrite)),
     status::ObjectNameNotFound, std::nullopt},
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
    {"odd_name_length", [](CreateFileRequest& r) { r.objectName->length = 3; }, status::ObjectNameInvalid,
     std::nullopt},
    {"no_object_name", [](CreateFileRequest& r) { r.objectName.reset(); }, status::ObjectNameInvalid, std::nullopt},
    {"wrong_object_attributes_length", [](CreateFileRequest& r) { r.objectAttributesLength = 0; },
     status::InvalidParameter, std::nullopt},
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
    {"write_protected_maximum_allowed", All(Name(File), Access(nt::Synchronize | nt::MaximumAllowed)),
     status::Success, nt::FileOpened, true},
    {"write_protected_create", All(Name(u"\\??\\c:\\dir\\new"), Disposition(nt::FileCreate)),
     status::MediaWriteProtected, std::nullopt, true},
    {"write_protected_create_over_existing", All(Name(File), Disposition(nt::FileCreate)),
     status::ObjectNameCollision, std::nullopt, true},
    {"write_protected_overwrite", All(Name(File), Disposition(nt::FileOverwriteIf)), status::MediaWriteProtected,
     std::nullopt, true},
};

class CreateFileTest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateFileTest, AnswersAsNtDoes)
{
    const CreateCase& c = GetParam();
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), StartingDisk);
    KernelModel model(DriveC{c.driveC ? std::optional(driveC.path()) : std::nullopt, c.writeProtected});

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
}

INSTANTIATE_TEST_SUITE_P(Cases, CreateFileTest, ::testing::ValuesIn(CreateCases),
                         [](const ::testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

struct ShareCase {
    std::string name;
    std::vector<ShareState> existing;
    ShareState wanted;
    bool allowed;
};

void PrintTo(const ShareCase& c, std::ostream* out) { *out << c.name; }

const uint32_t Read = nt::FileReadData, Write = nt::FileWriteData, Erase = nt::Delete;
const uint32_t ShareR = nt::FileShareRead, ShareW = nt::FileShareWrite, ShareD = nt::FileShareDelete;

const ShareCase ShareCases[] = {
    {"first_open", {}, {Write, 0}, true},
    {"reader_sharing_reads_blocks_writer", {{Read, ShareR}}, {Write, ShareR}, false},
    {"reader_sharing_writes_admits_writer", {{Read, ShareR | ShareW}}, {Write, ShareR}, true},
    {"writer_must_share_back_for_the_reader", {{Read, ShareR | ShareW}}, {Write, 0}, false},
    {"writer_sharing_all_still_blocks_writer_sharing_reads", {{Write, ShareR | ShareW | ShareD}}, {Write, ShareR},
     false},
    {"deleter_blocks_unless_delete_shared", {{Erase, ShareR | ShareW}}, {Write, ShareR | ShareW}, false},
    {"deleter_admits_when_delete_shared", {{Erase, ShareR | ShareW}}, {Write, ShareR | ShareW | ShareD}, true},
    {"holder_without_data_access_constrains_no_one", {{nt::Synchronize | nt::FileReadAttributes, 0}}, {Write, 0},
     true},
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
    EXPECT_EQ(model.BrokenRules().size(), 1u);
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

TEST(ForeignOpenTest, MissingFileIsRefusedUpFront)
{
    ScratchFolder driveC;
    EXPECT_THROW(KernelModel(DriveC{driveC.path(), false}, {}, {{u"\\??\\c:\\none", nt::FileReadData, 0}}),
                 std::runtime_error);
    EXPECT_THROW(KernelModel(DriveC{driveC.path() / "none", false}), std::runtime_error);
}

}  // namespace
}  // namespace quarnhold::testbed
