// nt_answers_test.cpp
//
// The model's answers beyond the plain create, write and close tables: a
// success status that comes with a handle, NTFS's and FAT's different
// refusals, a name about to be deleted, a byte-range lock, a directory held
// without sharing, a volume's clusters running out, and a close of a handle
// that is not open, which NT answers with a status and goes on.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "kernel/kernel_services.h"
#include "testbed/host_kernel_binding.h"
#include "testbed/kernel_model.h"
#include "testbed/memory_volume.h"
#include "testbed/nt_file_definitions.h"
#include "tests/support/disk_state.h"

namespace quarnhold::testbed {
namespace {

using tests::DiskItem;
using tests::ScratchFolder;

constexpr uint32_t Sync = nt::FileSynchronousIoNonalert;
constexpr uint32_t ShareAll = nt::FileShareRead | nt::FileShareWrite | nt::FileShareDelete;

// Drive C laid down with some items, in a host folder or in memory: the
// model must answer alike on both.
enum class VolumeKind { Folder, Memory };

class LaidDriveC {
public:
    LaidDriveC(VolumeKind kind, const std::vector<DiskItem>& items)
    {
        if (kind == VolumeKind::Folder) {
            folder_ = std::make_unique<ScratchFolder>();
            tests::LayDown(folder_->path(), items);
        } else {
            memory_ = std::make_shared<MemoryVolume>(items);
        }
    }
    DriveC With(FileSystem fileSystem, VolumeSpace space = {}, bool writeProtected = false) const
    {
        DriveC driveC{std::nullopt, writeProtected, fileSystem, memory_, space};
        if (folder_) driveC.folder = folder_->path();
        return driveC;
    }
    std::vector<DiskItem> ReadBack() const { return folder_ ? tests::ReadDisk(folder_->path()) : memory_->Items(); }

private:
    std::unique_ptr<ScratchFolder> folder_;
    std::shared_ptr<MemoryVolume> memory_;
};

std::string KindName(VolumeKind kind)
{
    return kind == VolumeKind::Folder ? "folder" : "memory";
}

// A lawful kernel-mode create of `name`.
CreateFileRequest Create(std::u16string name, uint32_t access, uint32_t disposition, uint32_t options = Sync,
                         uint32_t share = ShareAll)
{
    CreateFileRequest request;
    request.desiredAccess = access;
    request.objectAttributesLength = 24;
    request.nativeObjectAttributesSize = 24;
    uint16_t length = static_cast<uint16_t>(name.size() * 2);
    request.objectName = CountedName{length, static_cast<uint16_t>(length + 2), std::move(name)};
    request.attributes = nt::ObjCaseInsensitive | nt::ObjKernelHandle;
    request.shareAccess = share;
    request.createDisposition = disposition;
    request.createOptions = options;
    return request;
}

WriteFileResult Write(KernelModel& model, uint32_t handle, const std::string& text, std::optional<int64_t> offset)
{
    WriteFileRequest request;
    request.handle = handle;
    request.data = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    request.length = static_cast<uint32_t>(text.size());
    request.byteOffset = offset;
    return model.WriteFile(request);
}

// A create of c:\new and a write of "ab" through its handle, one of them
// given an injected status.
struct InjectedStatusCase {
    std::string name;
    Routine routine;
    NtStatus injected;
    bool handle;  // the create handed out a handle
    std::vector<DiskItem> after;
};

void PrintTo(const InjectedStatusCase& c, std::ostream* out)
{
    *out << c.name;
}

const InjectedStatusCase InjectedStatusCases[] = {
    // NT_SUCCESS holds: the work is done and the handle comes with the status.
    {"create_oplock_break_in_progress",
     Routine::ZwCreateFile,
     status::OplockBreakInProgress,
     true,
     {tests::File("new", "ab")}},
    {"create_object_name_exists", Routine::ZwCreateFile, status::ObjectNameExists, true, {tests::File("new", "ab")}},
    {"create_success", Routine::ZwCreateFile, status::Success, true, {tests::File("new", "ab")}},
    // A warning or an error: nothing is done and there is no handle.
    {"create_buffer_overflow", Routine::ZwCreateFile, status::BufferOverflow, false, {}},
    {"create_access_denied", Routine::ZwCreateFile, status::AccessDenied, false, {}},
    {"write_oplock_break_in_progress",
     Routine::ZwWriteFile,
     status::OplockBreakInProgress,
     true,
     {tests::File("new", "ab")}},
    {"write_buffer_overflow", Routine::ZwWriteFile, status::BufferOverflow, true, {tests::File("new", "")}},
    {"write_disk_full", Routine::ZwWriteFile, status::DiskFull, true, {tests::File("new", "")}},
};

class InjectedStatusTest : public ::testing::TestWithParam<InjectedStatusCase> {};

TEST_P(InjectedStatusTest, ComesWithTheWorkDoneOnlyWhenNtSuccessHolds)
{
    const InjectedStatusCase& c = GetParam();
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path()}, {{c.routine, 1, c.injected, std::nullopt}});

    CreateFileResult created =
        model.CreateFile(Create(u"\\??\\c:\\new", nt::Synchronize | nt::FileWriteData, nt::FileCreate));
    if (c.routine == Routine::ZwCreateFile) {
        EXPECT_EQ(created.status, c.injected) << DescribeStatus(created.status);
    }
    EXPECT_EQ(created.handle != 0, c.handle);
    // The IO_STATUS_BLOCK is written only when the file system did the work.
    EXPECT_EQ(created.information, c.handle ? std::optional<uint32_t>(nt::FileCreated) : std::nullopt);
    if (created.handle != 0) {
        WriteFileResult written = Write(model, created.handle, "ab", std::nullopt);
        if (c.routine == Routine::ZwWriteFile) {
            EXPECT_EQ(written.status, c.injected) << DescribeStatus(written.status);
            EXPECT_EQ(written.information.has_value(), NtSuccess(c.injected));
        }
        EXPECT_EQ(model.Close(created.handle), status::Success);
    }
    EXPECT_EQ(tests::ReadDisk(driveC.path()), c.after);
    EXPECT_TRUE(model.OpenHandles().empty());
    ASSERT_FALSE(model.Calls().empty());
    EXPECT_TRUE(model.BrokenRules().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, InjectedStatusTest, ::testing::ValuesIn(InjectedStatusCases),
                         [](const ::testing::TestParamInfo<InjectedStatusCase>& info) { return info.param.name; });

// A success status cannot make a failing create succeed: the create's own
// refusal comes back, and the fault did not take effect.
TEST(InjectedStatusTest, LeavesAFailingCreateAlone)
{
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), {tests::File("new", "old")});
    KernelModel model(DriveC{driveC.path()}, {{Routine::ZwCreateFile, 1, status::ObjectNameExists, std::nullopt}});
    CreateFileResult created = model.CreateFile(Create(u"\\??\\c:\\new", nt::Synchronize, nt::FileCreate));
    EXPECT_EQ(created.status, status::ObjectNameCollision);
    EXPECT_EQ(created.handle, 0u);
    EXPECT_FALSE(model.Calls().back().injected);
}

// The host routines hand the handle and the IO_STATUS_BLOCK to the caller
// with any status NT_SUCCESS holds for.
TEST(InjectedStatusTest, ReachesTheHostCallerWithTheHandle)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path()}, {{Routine::ZwCreateFile, 1, status::ObjectNameExists, std::nullopt}});
    HostKernelBinding binding(model);
    WCHAR name[] = u"\\??\\c:\\new";
    UNICODE_STRING text = {sizeof(name) - sizeof(WCHAR), sizeof(name), name};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    EXPECT_EQ(static_cast<NtStatus>(ZwCreateFile(&handle, SYNCHRONIZE, &attributes, &io, nullptr, 0, 0, FILE_CREATE,
                                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0)),
              status::ObjectNameExists);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(static_cast<NtStatus>(io.Status), status::ObjectNameExists);
    EXPECT_EQ(io.Information, FILE_CREATED);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(model.OpenHandles().empty());
}

// A write through a handle to c:\f ("0123456789") or to the directory c:\d,
// on a volume of 4096-byte clusters.
struct WriteCase {
    std::string name;
    FileSystem fileSystem;
    std::u16string target;
    std::optional<int64_t> offset;
    NtStatus status;
    std::string fileAfter;  // c:\f afterwards
    std::vector<ForeignOpen> others = {};
    bool writeProtected = false;
    uint64_t freeClusters = VolumeSpace{}.freeClusters;
};

void PrintTo(const WriteCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::u16string F = u"\\??\\c:\\f";
const std::u16string D = u"\\??\\c:\\d";

// Another handle to c:\f that reads, shares reading and writing, and holds a
// lock on `range`.
ForeignOpen LockOnF(ByteRange range)
{
    return ForeignOpen{F, nt::FileReadData, nt::FileShareRead | nt::FileShareWrite, false, range};
}

const WriteCase WriteCases[] = {
    {"ntfs_directory", FileSystem::Ntfs, D, std::nullopt, status::InvalidDeviceRequest, "0123456789"},
    {"fat_directory", FileSystem::Fat, D, std::nullopt, status::InvalidParameter, "0123456789"},
    {"fat_write_protected", FileSystem::Fat, F, std::nullopt, status::MediaWriteProtected, "0123456789", {}, true},
    {"ntfs_locked_range", FileSystem::Ntfs, F, 2, status::FileLockConflict, "0123456789", {LockOnF({3, 4})}},
    {"fat_locked_range", FileSystem::Fat, F, std::nullopt, status::FileLockConflict, "0123456789", {LockOnF({0, 1})}},
    {"lock_just_past_the_write", FileSystem::Ntfs, F, std::nullopt, status::Success, "ab23456789", {LockOnF({2, 8})}},
    {"past_the_end_leaves_zeros", FileSystem::Ntfs, F, 12, status::Success, std::string("0123456789\0\0ab", 14)},
    // Files are not sparse: the volume would have to find an exbibyte.
    {"ntfs_far_past_the_free_space", FileSystem::Ntfs, F, int64_t{1} << 60, status::DiskFull, "0123456789"},
    // A FAT file's size is 32 bits: the last byte it can hold is at 4 GiB - 2.
    {"fat_past_4_gib", FileSystem::Fat, F, 0xFFFFFFFEll, status::DiskFull, "0123456789"},
    // No cluster free: a write that ends inside the one cluster f holds
    // needs none, whether it overwrites or grows the file (FatCommonWrite);
    // one byte past the cluster needs a second.
    {"full_volume_overwrite_inside_the_file", FileSystem::Fat, F, 4, status::Success, "0123ab6789", {}, false, 0},
    {"full_volume_growth_inside_the_cluster", FileSystem::Fat, F, 4094, status::Success,
     "0123456789" + std::string(4084, '\0') + "ab", {}, false, 0},
    {"full_volume_growth_past_the_cluster", FileSystem::Fat, F, 4095, status::DiskFull, "0123456789", {}, false, 0},
    {"last_free_cluster_takes_the_growth", FileSystem::Ntfs, F, 4095, status::Success,
     "0123456789" + std::string(4085, '\0') + "ab", {}, false, 1},
    {"two_clusters_short_of_one_free", FileSystem::Ntfs, F, 8191, status::DiskFull, "0123456789", {}, false, 1},
};

class WriteCaseTest : public ::testing::TestWithParam<std::tuple<WriteCase, VolumeKind>> {};

TEST_P(WriteCaseTest, AnswersAsTheFileSystemDoes)
{
    const auto& [c, kind] = GetParam();
    LaidDriveC driveC(kind, {tests::Directory("d"), tests::File("f", "0123456789")});
    KernelModel model(driveC.With(c.fileSystem, {4096, c.freeClusters}, c.writeProtected), {}, c.others);
    CreateFileResult opened = model.CreateFile(Create(c.target, nt::Synchronize | nt::FileWriteData, nt::FileOpen));
    ASSERT_EQ(opened.status, status::Success) << DescribeStatus(opened.status);
    EXPECT_EQ(Write(model, opened.handle, "ab", c.offset).status, c.status);
    EXPECT_EQ(model.Close(opened.handle), status::Success);
    EXPECT_EQ(driveC.ReadBack(), (std::vector<DiskItem>{tests::Directory("d"), tests::File("f", c.fileAfter)}));
    EXPECT_TRUE(model.BrokenRules().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteCaseTest,
                         ::testing::Combine(::testing::ValuesIn(WriteCases),
                                            ::testing::Values(VolumeKind::Folder, VolumeKind::Memory)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + KindName(std::get<1>(info.param));
                         });

// A create, and a write of "ab" at offset 0 through its handle, on a volume
// with few clusters free: a directory takes a cluster, an empty file none,
// and an overwrite gives the file's clusters back.
struct SpaceCase {
    std::string name;
    std::vector<DiskItem> items;
    uint64_t freeClusters;
    CreateFileRequest create;
    NtStatus createStatus;
    std::optional<NtStatus> writeStatus;  // nothing: no write
    std::vector<DiskItem> after;
};

void PrintTo(const SpaceCase& c, std::ostream* out)
{
    *out << c.name;
}

const SpaceCase SpaceCases[] = {
    {"new_directory_on_a_full_volume",
     {},
     0,
     Create(D, nt::Synchronize, nt::FileCreate, nt::FileDirectoryFile | Sync),
     status::DiskFull,
     std::nullopt,
     {}},
    {"new_directory_takes_the_last_cluster",
     {},
     1,
     Create(D, nt::Synchronize, nt::FileCreate, nt::FileDirectoryFile | Sync),
     status::Success,
     std::nullopt,
     {tests::Directory("d")}},
    {"new_file_on_a_full_volume_but_not_its_first_byte",
     {},
     0,
     Create(F, nt::Synchronize | nt::FileWriteData, nt::FileCreate),
     status::Success,
     status::DiskFull,
     {tests::File("f", "")}},
    {"overwrite_gives_the_files_clusters_back",
     {tests::File("f", std::string(5000, 'x'))},
     0,
     Create(F, nt::Synchronize | nt::FileWriteData, nt::FileOverwriteIf),
     status::Success,
     status::Success,
     {tests::File("f", "ab")}},
};

class SpaceCaseTest : public ::testing::TestWithParam<std::tuple<SpaceCase, VolumeKind>> {};

TEST_P(SpaceCaseTest, FollowsTheClusters)
{
    const auto& [c, kind] = GetParam();
    LaidDriveC driveC(kind, c.items);
    KernelModel model(driveC.With(FileSystem::Fat, {4096, c.freeClusters}));
    CreateFileResult created = model.CreateFile(c.create);
    EXPECT_EQ(created.status, c.createStatus) << DescribeStatus(created.status);
    if (c.writeStatus) {
        ASSERT_NE(created.handle, 0u);
        EXPECT_EQ(Write(model, created.handle, "ab", 0).status, *c.writeStatus);
    }
    if (created.handle != 0) EXPECT_EQ(model.Close(created.handle), status::Success);
    EXPECT_EQ(driveC.ReadBack(), c.after);
    EXPECT_TRUE(model.BrokenRules().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SpaceCaseTest,
                         ::testing::Combine(::testing::ValuesIn(SpaceCases),
                                            ::testing::Values(VolumeKind::Folder, VolumeKind::Memory)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + KindName(std::get<1>(info.param));
                         });

// A create or open while someone else holds c:\d or c:\d\f in some way.
struct HeldCase {
    std::string name;
    ForeignOpen other;
    CreateFileRequest request;
    NtStatus status;
};

void PrintTo(const HeldCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::u16string InD = u"\\??\\c:\\d\\f";
const ForeignOpen DeletingF{InD, nt::Delete, ShareAll, true, std::nullopt};
const ForeignOpen ListingDWithoutSharing{D, nt::FileReadData | nt::Synchronize, 0, false, std::nullopt};

const HeldCase HeldCases[] = {
    // The delete disposition is met before the disposition: FILE_CREATE too.
    {"delete_pending_open", DeletingF, Create(InD, nt::Synchronize | nt::FileWriteData, nt::FileOpen),
     status::DeletePending},
    {"delete_pending_create", DeletingF, Create(InD, nt::Synchronize, nt::FileCreate), status::DeletePending},
    {"delete_pending_open_if", DeletingF, Create(InD, nt::Synchronize, nt::FileOpenIf), status::DeletePending},
    {"create_in_a_directory_pending_delete", ForeignOpen{D, nt::Delete, ShareAll, true, std::nullopt},
     Create(u"\\??\\c:\\d\\new", nt::Synchronize, nt::FileCreate), status::DeletePending},
    // Without read, write or delete access an open takes no part in share checks.
    {"synchronize_open_of_a_directory_held_without_sharing", ListingDWithoutSharing,
     Create(D, nt::Synchronize, nt::FileOpenIf, nt::FileDirectoryFile | Sync, 0), status::Success},
    {"listing_a_directory_held_without_sharing", ListingDWithoutSharing,
     Create(D, nt::FileReadData | nt::Synchronize, nt::FileOpen, nt::FileDirectoryFile | Sync, 0),
     status::SharingViolation},
    {"create_in_a_directory_held_without_sharing", ListingDWithoutSharing,
     Create(u"\\??\\c:\\d\\new", nt::Synchronize, nt::FileCreate, Sync, 0), status::Success},
    {"open_for_writing_past_a_lock_holder_that_shares_writing", LockOnF({0, 20}),
     Create(F, nt::Synchronize | nt::FileWriteData, nt::FileOpen, Sync, nt::FileShareRead), status::Success},
};

class HeldCaseTest : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldCaseTest, AnswersAsNtDoes)
{
    const HeldCase& c = GetParam();
    for (FileSystem fileSystem : {FileSystem::Ntfs, FileSystem::Fat}) {
        ScratchFolder driveC;
        tests::LayDown(driveC.path(), {tests::Directory("d"), tests::File("d/f", "x"), tests::File("f", "y")});
        KernelModel model(DriveC{driveC.path(), false, fileSystem}, {}, {c.other});
        CreateFileResult result = model.CreateFile(c.request);
        EXPECT_EQ(result.status, c.status) << FileSystemName(fileSystem) << ": " << DescribeStatus(result.status);
        EXPECT_TRUE(model.BrokenRules().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldCaseTest, ::testing::ValuesIn(HeldCases),
                         [](const ::testing::TestParamInfo<HeldCase>& info) { return info.param.name; });

// ZwClose from kernel mode of a handle that is not open: NT answers
// STATUS_INVALID_HANDLE and goes on (ObpCloseHandle bug-checks only for a
// process with a PEB, and DriverEntry runs in the System process, which has
// none); the close still breaks a verifier's rule.
struct BadCloseCase {
    std::string name;
    std::function<NtStatus(KernelModel&, uint32_t open)> use;  // uses the handle somehow, returns the last status
    NtStatus status;
    size_t rulesBroken;
};

void PrintTo(const BadCloseCase& c, std::ostream* out)
{
    *out << c.name;
}

const BadCloseCase BadCloseCases[] = {
    {"open_handle", [](KernelModel& m, uint32_t open) { return m.Close(open); }, status::Success, 0},
    {"handle_closed_twice",
     [](KernelModel& m, uint32_t open) {
         m.Close(open);
         return m.Close(open);
     },
     status::InvalidHandle, 1},
    {"handle_never_given_out", [](KernelModel& m, uint32_t) { return m.Close(0x80000400); }, status::InvalidHandle,
     1},
    // Not a kernel handle either: a second finding.
    {"user_handle_never_given_out", [](KernelModel& m, uint32_t) { return m.Close(0x00000010); },
     status::InvalidHandle, 2},
    {"write_on_a_closed_handle",
     [](KernelModel& m, uint32_t open) {
         m.Close(open);
         return Write(m, open, "x", 0).status;
     },
     status::InvalidHandle, 1},
};

class BadCloseTest : public ::testing::TestWithParam<BadCloseCase> {};

TEST_P(BadCloseTest, AnswersInvalidHandleAndTheRunGoesOn)
{
    ScratchFolder driveC;
    tests::LayDown(driveC.path(), {tests::File("f", "")});
    KernelModel model(DriveC{driveC.path()});
    uint32_t open = model.CreateFile(Create(F, nt::Synchronize | nt::FileWriteData, nt::FileOpen)).handle;
    EXPECT_EQ(GetParam().use(model, open), GetParam().status);
    EXPECT_EQ(model.BrokenRules().size(), GetParam().rulesBroken);
    // The next call is answered as any other.
    CreateFileResult again = model.CreateFile(Create(F, nt::Synchronize | nt::FileWriteData, nt::FileOpen));
    EXPECT_EQ(again.status, status::Success);
    EXPECT_EQ(model.Close(again.handle), status::Success);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadCloseTest, ::testing::ValuesIn(BadCloseCases),
                         [](const ::testing::TestParamInfo<BadCloseCase>& info) { return info.param.name; });

// The host-linked driver gets the status back from ZwClose, as the image
// does on the emulated CPU.
TEST(BadCloseTest, ReachesTheHostCallerAsAStatus)
{
    ScratchFolder driveC;
    KernelModel model(DriveC{driveC.path()});
    HostKernelBinding binding(model);
    EXPECT_EQ(static_cast<NtStatus>(ZwClose(reinterpret_cast<HANDLE>(uintptr_t{0x80000004}))), status::InvalidHandle);
    ASSERT_EQ(model.BrokenRules().size(), 1u);
    EXPECT_EQ(model.BrokenRules()[0].rule, "ZwClose of handle 0x80000004, which was never given out");
    EXPECT_EQ(model.Calls().back().detail, "handle 0x80000004 -> 0xC0000008 STATUS_INVALID_HANDLE");
}

}  // namespace
}  // namespace quarnhold::testbed
