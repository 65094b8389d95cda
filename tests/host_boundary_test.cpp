// host_boundary_test.cpp
//
// Where the test bed meets the host: a host refusal with no NT meaning stops
// the run as a test-bed error on both ways and is never counted as the
// driver's, while the refusals NT has an answer for keep it; a run never
// reaches past drive C's folder, however the folder changes under it; and
// the test bed's own disk work is checked, and leaves nothing behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "emulator/pe_image.h"
#include "fault_sweep/fault_sweep.h"
#include "testbed/host_files.h"
#include "testbed/host_volume.h"
#include "testbed/nt_file_definitions.h"
#include "testbed/scratch_disk.h"
#include "testbed/test_bed_error.h"
#include "tests/support/child_process.h"
#include "tests/support/disk_state.h"
#include "tests/support/messages.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

namespace fs = std::filesystem;
namespace status = testbed::status;
using testbed::Routine;
using testbed::TestBedError;

enum class Way { HostLinked, Emulated };

// Runs the driver over `model` the given way; `image` is the emulated way's
// image, read beforehand, so that a run as another user never reads the
// build folder (which that user may not be able to enter).
RunOutcome RunWay(Way way, testbed::KernelModel& model, std::optional<emulator::DriverImageRunner>& image)
{
    return way == Way::HostLinked ? RunHostLinked(model) : fault_sweep::RunEmulated(model, *image);
}

// A host the run meets: what is done to drive C (in the child, as root,
// before anything else), and the limits the run then works under.
struct HostRefusalCase {
    std::string name;
    std::string disk;  // the starting disk laid down on drive C
    // Runs as root in the child before the disk is laid down, with a mount
    // namespace of the child's own; throws to skip the case.
    std::function<void(const fs::path& driveC)> mount;
    // Runs as root in the child after the disk is laid down.
    std::function<void(const fs::path& driveC, const fs::path& outside)> change;
    bool asNobody = false;
    std::optional<rlim_t> fileSizeLimit;

    // Parts of the test-bed error line the run must stop with; none: the run
    // must end without one.
    std::vector<std::string> testBedError;
    // NT's answers the run must have been given, "ZwCreateFile#1 0xC00000A2".
    std::vector<std::string> answers;
};

void PrintTo(const HostRefusalCase& c, std::ostream* out)
{
    *out << c.name;
}

void MountTmpfs(const fs::path& where, unsigned long flags, const char* options)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", where.c_str(), "tmpfs", flags, options) != 0) {
        throw std::runtime_error("skip: no mount namespace here (" + std::string(std::strerror(errno)) + ")");
    }
}

const HostRefusalCase HostRefusalCases[] = {
    // The host's permissions have no NT meaning for a kernel-mode caller.
    {.name = "folder_the_user_cannot_write",
     .disk = "clean_drive_c",
     .asNobody = true,
     .testBedError = {"test-bed error: cannot create the directory ", "/Quarnhold: Permission denied (EACCES)",
                      ", in ZwCreateFile(\"\\??\\c:\\Quarnhold\""}},
    {.name = "file_the_user_cannot_write",
     .disk = "after_a_run",
     .asNobody = true,
     .testBedError = {"cannot open for writing ", "/Quarnhold/test.txt: Permission denied (EACCES)"},
     .answers = {"ZwCreateFile#1 0x00000000", "ZwCreateFile#2 0xC0000035"}},
    // Nor do the host's limits.
    {.name = "file_larger_than_the_host_allows",
     .disk = "clean_drive_c",
     .fileSizeLimit = 10,
     .testBedError = {"cannot write to ", "/Quarnhold/test.txt: File too large (EFBIG)", ", in ZwWriteFile("},
     .answers = {"ZwCreateFile#3 0x00000000"}},
    // A second name for test.txt outside drive C: writing it would write there.
    {.name = "file_with_a_name_outside_drive_c",
     .disk = "after_a_run",
     .change =
         [](const fs::path& driveC, const fs::path& outside) {
             if (link((driveC / "Quarnhold/test.txt").c_str(), (outside / "test.txt").c_str()) != 0) {
                 throw std::runtime_error("cannot link");
             }
         },
     .testBedError = {"/Quarnhold/test.txt has 2 hard links; another of its names may lie outside drive C"}},
    // Refusals NT has an answer for keep it.
    {.name = "full_disk",
     .disk = "clean_drive_c",
     .mount =
         [](const fs::path& driveC) {
             MountTmpfs(driveC, 0, "size=4k");
             LayDown(driveC, {File("filler", std::string(4096, 'f'))});
         },
     .answers = {"ZwCreateFile#2 0x00000000", "ZwWriteFile#1 0xC000007F"}},
    {.name = "read_only_mount",
     .disk = "clean_drive_c",
     .mount = [](const fs::path& driveC) { MountTmpfs(driveC, MS_RDONLY, "size=4k"); },
     .answers = {"ZwCreateFile#1 0xC00000A2"}},
};

class HostRefusalTest : public ::testing::TestWithParam<std::tuple<HostRefusalCase, Way>> {};

TEST_P(HostRefusalTest, StopsTheRunOrGetsNtsAnswer)
{
    const HostRefusalCase& c = std::get<0>(GetParam());
    const Way way = std::get<1>(GetParam());
    if ((c.asNobody || c.mount) && !RunningAsRoot()) {
        GTEST_SKIP() << "this case changes users or mounts, which only root can do";
    }
    ScratchFolder driveC, outside;
    ChildResult child = RunInChild([&]() -> std::string {
        std::optional<emulator::DriverImageRunner> image;
        if (way == Way::Emulated) image.emplace(emulator::ReadPeImage(BuiltImage()));
        fs::permissions(driveC.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
        if (c.mount) c.mount(driveC.path());
        const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(c.disk);
        LayDown(driveC.path(), disk.items);
        if (c.change) c.change(driveC.path(), outside.path());
        if (c.asNobody) BecomeNobody();
        if (c.fileSizeLimit) {
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of killing
            rlimit limit{*c.fileSizeLimit, *c.fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("cannot limit file sizes");
        }
        testbed::KernelModel model = fault_sweep::ModelFor(disk, driveC.path(), testbed::FileSystem::Ntfs);
        RunOutcome outcome = RunWay(way, model, image);
        std::string text = "testbed " + outcome.testBedError + "\nfault " + outcome.fault + "\n";
        std::map<Routine, unsigned> seen;
        for (const testbed::KernelCall& call : outcome.calls) {
            char answer[64];
            std::snprintf(answer, sizeof(answer), "%s#%u 0x%08X\n", std::string(RoutineName(call.routine)).c_str(),
                          ++seen[call.routine], call.status);
            text += answer;
        }
        return text;
    });
    if (child.text.rfind("exception: skip: ", 0) == 0) GTEST_SKIP() << child.text.substr(17);
    ASSERT_TRUE(child.completed) << child.text;

    std::string testBedLine = child.text.substr(8, child.text.find('\n') - 8);
    if (c.testBedError.empty()) {
        EXPECT_EQ(testBedLine, "") << "NT has an answer for this refusal";
    } else {
        EXPECT_EQ(testBedLine.rfind("test-bed error: ", 0), 0u) << child.text;
        for (const std::string& part : c.testBedError) {
            EXPECT_NE(testBedLine.find(part), std::string::npos) << "missing: " << part << "\nin: " << testBedLine;
        }
    }
    // A test-bed error is never made into a guest fault.
    EXPECT_NE(child.text.find("\nfault \n"), std::string::npos) << child.text;
    for (const std::string& answer : c.answers) {
        EXPECT_NE(child.text.find("\n" + answer + "\n"), std::string::npos) << "missing: " << answer << "\n"
                                                                            << child.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostRefusalTest,
                         ::testing::Combine(::testing::ValuesIn(HostRefusalCases),
                                            ::testing::Values(Way::HostLinked, Way::Emulated)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name +
                                    (std::get<1>(info.param) == Way::HostLinked ? "_host_linked" : "_emulated");
                         });

testbed::CreateFileRequest CreateRequest(std::u16string name)
{
    testbed::CreateFileRequest request;
    request.desiredAccess = testbed::nt::Synchronize | testbed::nt::FileWriteData;
    request.objectAttributesLength = request.nativeObjectAttributesSize = 24;
    uint16_t length = static_cast<uint16_t>(name.size() * 2);
    request.objectName = testbed::CountedName{length, static_cast<uint16_t>(length + 2), std::move(name)};
    request.attributes = testbed::nt::ObjCaseInsensitive | testbed::nt::ObjKernelHandle;
    request.createDisposition = testbed::nt::FileCreate;
    request.createOptions = testbed::nt::FileSynchronousIoNonalert;
    return request;
}

// NT takes names of up to 255 UTF-16 units; the host's limit is 255 bytes
// of UTF-8, which 100 Chinese characters pass. That is the host's limit,
// not NT's answer.
TEST(HostVolume, NameLongerThanTheHostAllowsIsATestBedError)
{
    ScratchFolder driveC;
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    try {
        model.CreateFile(CreateRequest(u"\\??\\c:\\" + std::u16string(100, u'文')));
        FAIL() << "the model answered a name the host cannot hold";
    } catch (const TestBedError& failure) {
        EXPECT_EQ(failure.Errno(), ENAMETOOLONG);
        EXPECT_NE(std::string(failure.what()).find("File name too long (ENAMETOOLONG)"), std::string::npos)
            << failure.what();
    }
}

// Another process swaps the work directory with a link to a folder outside
// drive C, over and over, while the driver runs: no run may write there.
TEST(SwapRace, NoRunReachesPastDriveC)
{
    ScratchFolder driveC, outside;
    LayDown(outside.path(), {File("test.txt", "canary")});
    LayDown(driveC.path(), {Directory("Quarnhold"), Link("swap", outside.path().string())});
    testbed::HostFd root(open(driveC.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> swaps{0};
    std::thread swapper([&] {
        while (!stop) {
            if (renameat2(root.get(), "Quarnhold", root.get(), "swap", RENAME_EXCHANGE) == 0) ++swaps;
        }
    });
    // Runs until the race has been met often enough, whatever the machine's
    // load; the time is only a cap for a race that never happens.
    constexpr unsigned enoughMeetings = 20;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    unsigned metTheLink = 0;
    uint64_t runs = 0;
    while (metTheLink < enoughMeetings && std::chrono::steady_clock::now() < giveUp) {
        testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
        RunOutcome outcome = RunHostLinked(model);
        ++runs;
        for (const testbed::KernelCall& call : outcome.calls) {
            metTheLink += call.status == status::IoReparseTagNotHandled;
        }
    }
    stop = true;
    swapper.join();

    EXPECT_EQ(ReadDisk(outside.path()), std::vector<DiskItem>{File("test.txt", "canary")});
    // The race really ran: the swaps happened, and runs met the link.
    EXPECT_GT(swaps.load(), 0u);
    EXPECT_GT(metTheLink, 0u) << "no run of " << runs << " met the link in two minutes";
}

// After a run, test.txt is read back from the very file the run wrote, not
// by its name: whatever someone has put at the name since (here a hard link
// to a file outside drive C) is never shown; a file given a second name is
// refused, as the run refuses one; a file removed is said to be gone.
struct ReadBackCase {
    std::string name;
    std::function<void(const fs::path& driveC, const fs::path& outside)> after;
    std::optional<testbed::FileGlimpse> shown;  // nothing: a test-bed error naming the hard links
};

void PrintTo(const ReadBackCase& c, std::ostream* out)
{
    *out << c.name;
}

void Check(int result, const char* what)
{
    if (result != 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

const ReadBackCase ReadBackCases[] = {
    {"left_alone", [](const fs::path&, const fs::path&) {},
     testbed::FileGlimpse{20, std::string(TestFileContent), true}},
    {"name_swapped_for_a_hard_link_to_a_file_outside",
     [](const fs::path& driveC, const fs::path& outside) {
         Check(rename((driveC / "Quarnhold/test.txt").c_str(), (driveC / "Quarnhold/old.txt").c_str()), "rename");
         Check(link((outside / "secret.txt").c_str(), (driveC / "Quarnhold/test.txt").c_str()), "link");
     },
     testbed::FileGlimpse{20, std::string(TestFileContent), true}},
    {"given_a_second_name_outside",
     [](const fs::path& driveC, const fs::path& outside) {
         Check(link((driveC / "Quarnhold/test.txt").c_str(), (outside / "copy.txt").c_str()), "link");
     },
     std::nullopt},
    {"removed", [](const fs::path& driveC, const fs::path&) { fs::remove(driveC / "Quarnhold/test.txt"); },
     testbed::FileGlimpse{20, std::string(TestFileContent), false}},
};

class ReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(ReadBackTest, ShowsOnlyTheFileTheRunWrote)
{
    ScratchFolder driveC, outside;
    LayDown(outside.path(), {File("secret.txt", "not drive C's")});
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    RunOutcome outcome = RunHostLinked(model);
    ASSERT_EQ(outcome.testBedError, "");
    GetParam().after(driveC.path(), outside.path());

    fault_sweep::ReadBackWritten(model, fault_sweep::RunSetup{{}, {}, {}, 256}, outcome);
    if (!GetParam().shown) {
        EXPECT_NE(outcome.testBedError.find("/Quarnhold/test.txt has 2 hard links now"), std::string::npos)
            << outcome.testBedError;
        EXPECT_TRUE(outcome.writtenFiles.empty());
        return;
    }
    ASSERT_EQ(outcome.testBedError, "");
    ASSERT_EQ(outcome.writtenFiles.size(), 1u);
    EXPECT_EQ(outcome.writtenFiles[0].volumePath, "Quarnhold\\test.txt");
    EXPECT_EQ(outcome.writtenFiles[0].now.size, GetParam().shown->size);
    EXPECT_EQ(outcome.writtenFiles[0].now.head, GetParam().shown->head);
    EXPECT_EQ(outcome.writtenFiles[0].now.named, GetParam().shown->named);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadBackTest, ::testing::ValuesIn(ReadBackCases),
                         [](const auto& info) { return info.param.name; });

// Whatever is swapped in under test.txt's name after the lookup found it (a
// FIFO, which would block an open for writing; a device node, which must
// never be opened for writing) is not opened at all: the write goes to the
// file the lookup found, and the host's inotify sees no open of the thing
// swapped in. Laying a disk down over such a thing refuses it unopened too.
struct SwappedInCase {
    std::string name;
    std::function<void(const fs::path& at)> make;
    bool needsRoot = false;
};

void PrintTo(const SwappedInCase& c, std::ostream* out)
{
    *out << c.name;
}

const SwappedInCase SwappedInCases[] = {
    {"fifo", [](const fs::path& at) { Check(mkfifo(at.c_str(), 0666), "mkfifo"); }},
    {"character_device", [](const fs::path& at) { Check(mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)), "mknod"); },
     true},
};

class SwappedInTest : public ::testing::TestWithParam<SwappedInCase> {};

TEST_P(SwappedInTest, IsNeverOpened)
{
    if (GetParam().needsRoot && !RunningAsRoot()) GTEST_SKIP() << "only root makes device nodes";
    ScratchFolder driveC;
    LayDown(driveC.path(), {Directory("Quarnhold"), File("Quarnhold/test.txt", "old text")});
    const fs::path name = driveC.path() / "Quarnhold/test.txt";
    testbed::HostVolume volume(driveC.path());
    testbed::VolumeLookup found = volume.Find({u"Quarnhold", u"test.txt"}, true);
    ASSERT_TRUE(found.node);

    Check(rename(name.c_str(), (driveC.path() / "Quarnhold/moved.txt").c_str()), "rename");
    GetParam().make(name);
    // A reader on the FIFO, so that an open for writing would not block but
    // go through, for inotify to see.
    testbed::HostFd reader(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    testbed::HostFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    ASSERT_GE(inotify_add_watch(watch.get(), name.c_str(), IN_OPEN), 0);

    testbed::VolumeNode node = *found.node;
    ASSERT_EQ(volume.OpenForWriting(node), status::Success);
    const std::string text = "new";
    ASSERT_EQ(volume.WriteAt(node, 0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())),
              status::Success);
    EXPECT_THROW(LayDown(driveC.path(), {File("Quarnhold/test.txt", "laid")}), TestBedError);

    char events[4096];
    EXPECT_LT(read(watch.get(), events, sizeof(events)), 0) << "the thing swapped in was opened";
    EXPECT_EQ(errno, EAGAIN);
    std::string moved;
    testbed::HostFd movedFd(open((driveC.path() / "Quarnhold/moved.txt").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(testbed::ReadAll(movedFd.get(), moved), 0);
    EXPECT_EQ(moved, "new text");
}

INSTANTIATE_TEST_SUITE_P(Cases, SwappedInTest, ::testing::ValuesIn(SwappedInCases),
                         [](const auto& info) { return info.param.name; });

// What a run holds it holds wherever it goes, as an NT handle follows its
// file: a folder moved out of drive C after the driver opened test.txt in
// it still gets the write, through the handle; a folder made at its old
// name by someone else gets nothing, and nothing else outside is reached.
TEST(DriveCBounds, AFolderMovedOutDuringARunKeepsItsFiles)
{
    ScratchFolder driveC, outside;
    testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
    testbed::CreateFileRequest directory = CreateRequest(u"\\??\\c:\\Quarnhold");
    directory.createOptions |= testbed::nt::FileDirectoryFile;
    ASSERT_EQ(model.CreateFile(directory).status, status::Success);
    const testbed::CreateFileResult file = model.CreateFile(CreateRequest(u"\\??\\c:\\Quarnhold\\test.txt"));
    ASSERT_EQ(file.status, status::Success);

    Check(rename((driveC.path() / "Quarnhold").c_str(), (outside.path() / "Quarnhold").c_str()), "rename");
    LayDown(driveC.path(), {Directory("Quarnhold"), File("Quarnhold/test.txt", "")});
    const std::string text = "written";
    testbed::WriteFileRequest write;
    write.handle = file.handle;
    write.data = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    write.length = static_cast<uint32_t>(text.size());
    EXPECT_EQ(model.WriteFile(write).status, status::Success);

    EXPECT_EQ(ReadDisk(outside.path()), (std::vector<DiskItem>{Directory("Quarnhold"), File("Quarnhold/test.txt", text)}));
    EXPECT_EQ(ReadDisk(driveC.path()), (std::vector<DiskItem>{Directory("Quarnhold"), File("Quarnhold/test.txt", "")}));
}

// A file with a second name is not read back from a folder either: that
// name may lie outside it.
TEST(ReadDisk, RefusesAFileWithASecondName)
{
    ScratchFolder folder, outside;
    LayDown(folder.path(), {File("test.txt", "x")});
    Check(link((folder.path() / "test.txt").c_str(), (outside.path() / "other.txt").c_str()), "link");
    try {
        ReadDisk(folder.path());
        FAIL() << "a file with two names was read";
    } catch (const TestBedError& failure) {
        EXPECT_NE(std::string(failure.what()).find("/test.txt has 2 hard links"), std::string::npos) << failure.what();
    }
}

// The host's umask decides nothing: a writable file is laid down writable,
// and the file the driver creates has no READONLY attribute, as on NT.
TEST(StartingDisk, NoUmaskMakesAFileReadOnly)
{
    ScratchFolder driveC;
    ChildResult child = RunInChild([&] {
        umask(0222);
        LayDown(driveC.path(), {File("laid.txt", "x")});
        testbed::KernelModel model(testbed::DriveC{driveC.path(), false});
        RunOutcome outcome = RunHostLinked(model);
        std::string text;
        for (const testbed::KernelCall& call : outcome.calls) {
            if (call.routine == Routine::ZwWriteFile) text += "write " + testbed::DescribeStatus(call.status) + "\n";
        }
        for (const DiskItem& item : ReadDisk(driveC.path())) text += DescribeItem(item) + "\n";
        return text;
    });
    ASSERT_TRUE(child.completed) << child.text;
    EXPECT_EQ(child.text,
              "write 0x00000000 STATUS_SUCCESS\nQuarnhold/\nQuarnhold/test.txt (20 bytes)\nlaid.txt (1 bytes)\n");
}

// A FIFO in the folder is refused when read back, never waited on.
TEST(ReadDisk, RefusesWhatIsNeitherFileFolderNorLink)
{
    ScratchFolder folder;
    ASSERT_EQ(mkfifo((folder.path() / "pipe").c_str(), 0644), 0);
    try {
        ReadDisk(folder.path());
        FAIL() << "a FIFO was read as a file";
    } catch (const TestBedError& failure) {
        EXPECT_NE(std::string(failure.what()).find("/pipe is neither a file, a folder nor a link"), std::string::npos)
            << failure.what();
    }
}

// An interrupt handler removes every scratch folder the process holds, and
// follows no link out of one; a folder kept on purpose stays.
TEST(ScratchFolder, InterruptRemovesEveryFolderHeld)
{
    ScratchFolder kept;
    kept.Keep();
    struct RemovedAtEnd {
        fs::path path;
        ~RemovedAtEnd() { fs::remove_all(path); }
    } keptRemoved{kept.path()};
    LayDown(kept.path(), {File("keep.txt", "outside")});
    auto first = std::make_unique<ScratchFolder>();
    auto second = std::make_unique<ScratchFolder>();
    LayDown(first->path(), {Directory("Quarnhold"), Directory("Quarnhold/deeper"),
                            File("Quarnhold/deeper/test.txt", "x", true), Link("out", kept.path().string())});
    LayDown(second->path(), {File("test.txt", "y")});

    testbed::RemoveScratchFoldersNow();
    EXPECT_FALSE(fs::exists(first->path()));
    EXPECT_FALSE(fs::exists(second->path()));
    EXPECT_EQ(ReadDisk(kept.path()), std::vector<DiskItem>{File("keep.txt", "outside")});
    first.reset();  // already gone: nothing to remove, nothing to complain of
}

TEST(ScratchFolder, GivesTheHostsReason)
{
    try {
        ScratchFolder folder("/nonexistent/quarnhold");
        FAIL() << "made " << folder.path();
    } catch (const TestBedError& failure) {
        EXPECT_STREQ(failure.what(),
                     "test-bed error: cannot make a scratch folder under /nonexistent/quarnhold: No such file or "
                     "directory (ENOENT)");
    }
}

}  // namespace
}  // namespace quarnhold::tests
