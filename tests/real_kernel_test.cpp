// real_kernel_test.cpp
//
// The real-kernel check's parts that need no QEMU: reading the driver's
// bytes out of ReactOS's serial log, laying a starting disk on FAT and
// reading it back, the livecd's edits, the verdicts and the report's rows.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "fault_sweep/starting_disks.h"
#include "real_kernel/check_options.h"
#include "real_kernel/check_report.h"
#include "real_kernel/child_process.h"
#include "real_kernel/fat_disk_image.h"
#include "real_kernel/held_state.h"
#include "real_kernel/known_differences.h"
#include "real_kernel/livecd_remaster.h"
#include "real_kernel/model_run.h"
#include "real_kernel/scenarios.h"
#include "real_kernel/serial_log.h"
#include "real_kernel/starting_disk_layout.h"
#include "real_kernel/user_install.h"
#include "testbed/text_encoding.h"
#include "tests/support/command.h"
#include "tests/support/messages.h"

namespace quarnhold::real_kernel {
namespace {

namespace fs = std::filesystem;
namespace message = fault_sweep::message;
using fault_sweep::Printed;
using testbed::DiskItem;

std::string Gbk(const std::string& utf8)
{
    return testbed::Utf8ToGbk(utf8).value();
}

// The messages of a start, GBK, concatenated.
std::string Transcript(const std::vector<std::string>& printed)
{
    std::string bytes;
    for (const std::string& text : printed) bytes += Gbk(text);
    return bytes;
}

std::string SecondStart()
{
    return Transcript({Printed(message::DriverEntry), Printed(message::CreatingDirectory),
                       Printed(message::DirectoryOpened), Printed(message::CreatingFile),
                       Printed(message::FileCreateFailed, 0xC0000035), Printed(message::OpeningFile),
                       Printed(message::FileOpened), Printed(message::FileWritten), Printed(message::DriverExit)});
}

const std::string Loaded =
    "(/ntoskrnl/mm/ARM3/sysldr.c:170) Loading: \\SystemRoot\\system32\\drivers\\quarnhold.sys at F6743000 with 4 "
    "pages\r\n";
const std::string NtFourDriver = "(/ntoskrnl/mm/ARM3/sysldr.c:2517) Skipping NT 4 driver @ F6743000\r\n";
const std::string Failed =
    "(/ntoskrnl/io/iomgr/driver.c:655) '\\Driver\\quarnhold' initialization failed, status (0xc0000182)\r\n"
    "(/ntoskrnl/io/iomgr/driver.c:83) Deleting driver object '\\Driver\\quarnhold'\r\n";
const std::string SymbolLine =
    "(/ntoskrnl/kdbg/kdb_symbols.c:231) Trying \\SystemRoot\\system32\\drivers\\quarnhold.sys\r\n";

TEST(SerialLog, TheDriversBytesFromTheRealLogOfASecondStart)
{
    std::ifstream in(fs::path(QUARNHOLD_FIXTURE_DIR) / "second-start-serial.log", std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(log.empty());
    DriverOutput output = ExtractDriverOutput(log);
    EXPECT_EQ(output.messages, SecondStart());
    EXPECT_EQ(output.status, 0xC0000182u);
    EXPECT_EQ(output.foreignLinesRemoved, 2);  // "Skipping NT 4 driver", and the debugger's symbol line inside
}

struct ExtractionCase {
    std::string name;
    std::string log;
    std::string messages;  // expected, or:
    std::string error;     // a part of the expected error
    std::optional<uint32_t> status = 0xC0000182;
    int foreignLines = 0;
    std::optional<std::string> stop = std::nullopt;
};

TEST(SerialLog, ExtractionTable)
{
    const std::string entry = Gbk(Printed(message::DriverEntry));
    const std::string failure = Gbk(Printed(message::DirectoryFailed, 0xC000003A));  // ends in ASCII "3A"
    const std::string exit = Gbk(Printed(message::DriverExit));
    const std::vector<ExtractionCase> cases{
        {"run together", Loaded + entry + exit + Failed, entry + exit, ""},
        {"a kernel line inside a message's run", Loaded + entry + SymbolLine + exit + Failed, entry + exit, "",
         0xC0000182, 1},
        {"user-mode lines after text ending in letters",
         Loaded + failure + "err:(/dll/win32/x/y.c:9) no\r\nfixme:(/dll/z.c:1) stub\r\n" + exit + Failed,
         failure + exit, "", 0xC0000182, 2},
        {"another driver's failure before ours",
         "(/ntoskrnl/io/iomgr/driver.c:655) '\\Driver\\sacdrv' initialization failed, status (0xc0000037)\r\n" +
             Loaded + NtFourDriver + entry + Failed,
         entry, "", 0xC0000182, 1},
        {"a line break the driver printed", Loaded + entry + "\r\n" + exit + Failed, entry + "\n" + exit, ""},
        {"another status",
         Loaded + entry + "(/x.c:1) '\\Driver\\quarnhold' initialization failed, status (0xc0000001)\r\n", entry, "",
         0xC0000001},
        {"nothing printed", Loaded + Failed, "", ""},
        {"no failure line", Loaded + entry + exit, "", "never returned a failure"},
        {"a failure line cut short",
         Loaded + entry + "(/x.c:1) '\\Driver\\quarnhold' initialization failed, status (0xc00", "",
         "never returned a failure"},
        {"no loading line", entry + Failed, "", "no 'Loading: "},
        // The kernel stopped while the driver ran: its messages until then.
        {"an assertion failed in the middle",
         Loaded + entry + SymbolLine + exit + "\r\n*** Assertion failed: Irp->Type == IO_TYPE_IRP\r\n***   Source "
                                             "File: /ntoskrnl/io/iomgr/irp.c, line 1335\r\n\r\nBreak repeatedly...",
         entry + exit, "", std::nullopt, 1, "*** Assertion failed: Irp->Type == IO_TYPE_IRP"},
        {"a bug check before the driver loaded", "\r\n*** Fatal System Error: 0x0000007E\r\n" + Loaded + entry, "",
         "no 'Loading: "},
        {"another driver loaded",
         "(/x.c:1) Loading: \\SystemRoot\\system32\\drivers\\other.sys at F0 with 1 pages\r\n" + entry + Failed, "",
         "no 'Loading: "},
    };
    for (const ExtractionCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.error.empty()) {
            try {
                ExtractDriverOutput(c.log);
                ADD_FAILURE() << "no error";
            } catch (const CheckError& error) {
                EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
            }
            continue;
        }
        DriverOutput output = ExtractDriverOutput(c.log);
        EXPECT_EQ(output.messages, c.messages);
        EXPECT_EQ(output.status, c.status);
        EXPECT_EQ(output.foreignLinesRemoved, c.foreignLines);
        EXPECT_EQ(output.stop, c.stop);
    }
}

TEST(SerialLog, KernelStopsAreFound)
{
    EXPECT_EQ(KernelStop("a\r\n\n*** Fatal System Error: 0x00000093\r\n    (0x1,0x0,0x0,0x0)\r\n"),
              "*** Fatal System Error: 0x00000093");
    EXPECT_EQ(KernelStop("x\nEntered debugger on embedded INT3 at 0x0008:0x800935f2.\nkdb:> "),
              "Entered debugger on embedded INT3 at 0x0008:0x800935f2.");
    EXPECT_EQ(KernelStop(Loaded + Failed), std::nullopt);
    EXPECT_EQ(KernelStop("x\r\n*** Assertion failed: a == b\r\n***   Source File: /x.c, line 1\r\n"),
              "*** Assertion failed: a == b");
    EXPECT_EQ(LastLine("one\r\ntwo \x01\r\n\r\n"), "two ?");
}

TEST(FatListing, ParseTable)
{
    struct Case {
        std::string listing;
        std::vector<FatEntry> entries;
    };
    const std::vector<Case> cases{
        {"D ::/\nD ::/Quarnhold\nA ::/Quarnhold/test.txt\n", {{"Quarnhold", "D"}, {"Quarnhold/test.txt", "A"}}},
        {"D ::/\nDH ::/a dir\nSHR ::/a dir/x y.txt\n", {{"a dir", "DH"}, {"a dir/x y.txt", "SHR"}}},
        {"D ::/\n ::/plain\n", {{"plain", ""}}},
        {"D ::/\n", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseAttributeListing(c.listing), c.entries) << c.listing;
    for (std::string bad : {"garbage\n", "AX ::/x\n", "A::/x\n", "::/x\n"}) {
        EXPECT_THROW(ParseAttributeListing(bad), CheckError) << bad;
    }
}

TEST(FatDiskImage, TheBootRecordHoldsOneActiveFat16PartitionFromOneMiB)
{
    std::array<uint8_t, 512> record = MasterBootRecord(64ull << 20);
    auto le32 = [&](size_t at) {
        return record[at] | record[at + 1] << 8 | record[at + 2] << 16 | static_cast<uint32_t>(record[at + 3]) << 24;
    };
    EXPECT_EQ(record[446], 0x80);
    EXPECT_EQ(record[450], 0x06);
    EXPECT_EQ(le32(454), 2048u);
    EXPECT_EQ(le32(458), (64u << 20) / 512 - 2048);
    EXPECT_EQ(record[510], 0x55);
    EXPECT_EQ(record[511], 0xAA);
    for (size_t entry = 462; entry < 510; ++entry) EXPECT_EQ(record[entry], 0) << "a second partition at " << entry;
}

// A folder of its own under the temporary directory, gone afterwards.
struct Scratch {
    testbed::ScratchFolder folder;
    fs::path Path() const { return folder.path(); }
};

bool HaveMtools()
{
    return RunProcess({"sh", "-c", "command -v mkfs.fat || test -x /usr/sbin/mkfs.fat || test -x /sbin/mkfs.fat"})
                   .exitCode == 0 &&
           RunProcess({"sh", "-c", "command -v mattrib"}).exitCode == 0;
}

// The check's whole premise: the disk ReactOS starts from is the model's.
TEST(FatDiskImage, EveryScenariosStartingDiskReadsBackAsTheTableHasIt)
{
    if (!HaveMtools()) GTEST_SKIP() << "mtools or mkfs.fat missing (scripts/install-dependencies installs them)";
    for (const auto& chain : BootChains({})) {
        const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(chain.front()->startingDisk);
        if (!disk.driveC) continue;
        SCOPED_TRACE(disk.name);
        Scratch scratch;
        fs::path image = scratch.Path() / "disk.img";
        const uint64_t filler = LayOnFatDiskImage(disk, image, scratch.Path() / "payloads", 34ull << 20);
        std::vector<FatItem> read = ReadFatDiskImage(image);

        std::vector<DiskItem> expected = disk.items;
        std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
        std::vector<DiskItem> items;
        for (const FatItem& item : read) {
            if (IsLaidFiller(item.item, filler)) continue;
            items.push_back(item.item);
            bool directory = item.item.kind == DiskItem::Kind::Directory;
            EXPECT_EQ(item.attributes, directory ? "D" : item.item.readOnly ? "AR" : "A") << item.item.path;
        }
        EXPECT_EQ(items, expected);
        // The volume has the clusters free the model's volume has, when
        // the disk asks for fewer than the image holds.
        const uint64_t free = FreeBytesOnFatImage(image);
        if (filler != 0) EXPECT_EQ(free, disk.space.freeClusters * disk.space.clusterBytes);
        EXPECT_EQ(filler != 0, chain.front()->kind == ScenarioKind::VolumeState);
        // The held state's record is in the sector the stager reads.
        std::ifstream in(image, std::ios::binary);
        std::array<uint8_t, 512> sector{};
        in.seekg(512);
        in.read(reinterpret_cast<char*>(sector.data()), sector.size());
        const std::array<uint8_t, 512> none{};
        EXPECT_EQ(sector, disk.foreignOpens.empty() ? none : HeldStateSector(disk));
    }
}

// The record the stager reads: each held open as the table gives it, read
// back field by field at the offsets the stager reads.
TEST(HeldState, TheRecordHoldsEachOpenAsTheTableGivesIt)
{
    auto le = [](const std::array<uint8_t, 512>& sector, size_t at, int bytes) {
        uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) value = value << 8 | sector[at + i];
        return value;
    };
    struct Case {
        std::string disk;
        uint64_t access, share, options, actions, lockOffset, lockLength;
    };
    const std::vector<Case> cases{
        // Directory or file, synchronous when it asks for SYNCHRONIZE.
        {"work_directory_held_without_sharing", 0x00100001, 0, 0x21, 0, 0, 0},
        {"test_file_held_for_deleting", 0x00010000, 3, 0x40, 0, 0, 0},
        {"test_file_delete_pending", 0x00110000, 7, 0x60, 1, 0, 0},
        {"test_file_locked_by_another_handle", 0x00100001, 3, 0x60, 2, 0, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk);
        const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(c.disk);
        const std::array<uint8_t, 512> sector = HeldStateSector(disk);
        EXPECT_EQ(std::string(sector.begin(), sector.begin() + 8), "QHSTAGE1");
        EXPECT_EQ(le(sector, 8, 4), 1u);
        const std::vector<uint64_t> fields{le(sector, 16, 4),  le(sector, 20, 4), le(sector, 24, 4),
                                           le(sector, 28, 4),  le(sector, 32, 8), le(sector, 40, 8)};
        EXPECT_EQ(fields, (std::vector<uint64_t>{c.access, c.share, c.options, c.actions, c.lockOffset, c.lockLength}));
        const std::u16string& path = disk.foreignOpens[0].path;
        ASSERT_EQ(le(sector, 48, 4), path.size() * 2);
        std::u16string name;
        for (size_t unit = 0; unit < path.size(); ++unit) name += static_cast<char16_t>(le(sector, 52 + 2 * unit, 2));
        EXPECT_EQ(name, path);
        EXPECT_TRUE(std::all_of(sector.begin() + 52 + path.size() * 2, sector.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(HeldState, TheStagersLinesTable)
{
    const fault_sweep::StartingDisk& locked = fault_sweep::FindStartingDisk("test_file_locked_by_another_handle");
    const std::string holds = "quarnhold-stager: holds \\??\\c:\\Quarnhold\\test.txt (access 0x00100001, share 0x3): ";
    struct Case {
        std::string name;
        std::string log;
        size_t lines;
        bool made;
    };
    const std::vector<Case> cases{
        {"open and lock", "x\r\n" + holds + "open 0x00000000, lock 0x00000000\r\n" + Loaded, 1, true},
        {"the lock refused", holds + "open 0x00000000, lock 0xC0000054\r\n", 1, false},
        {"the open refused, nothing after it", holds + "open 0xC0000043\r\n", 1, false},
        {"the lock missing", holds + "open 0x00000000\r\n", 1, false},
        {"no disk to read", "quarnhold-stager: no held state: the first hard disk cannot be read (0xC0000034)\r\n", 0,
         false},
        {"a kernel line in the middle",
         holds + "open 0x00000000(/ntoskrnl/x.c:1) noise\r\n, lock 0x00000000\r\n", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<StagerLine> lines = StagerLines(c.log);
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(WhyHeldStateNotMade(locked, lines) == std::nullopt, c.made);
    }
    EXPECT_EQ(StagerLines(holds + "open 0x00000000, lock 0xC0000054\r\n").at(0).statuses,
              (std::vector<uint32_t>{0, 0xC0000054}));
}

TEST(FatDiskImage, BytesFreeFromMdirsListing)
{
    EXPECT_EQ(ParseBytesFree(" Volume in drive : has no label\nNo files\n                         65 974 272 bytes free\n\n"),
              65974272u);
    EXPECT_EQ(ParseBytesFree("        2 files          65 970 176 bytes\n                                  0 bytes free\n"),
              0u);
    EXPECT_EQ(ParseBytesFree("1,024 bytes free"), 1024u);
    EXPECT_THROW(ParseBytesFree("No files\n"), CheckError);
}

TEST(StartingDiskLayout, MtoolsCommandsTable)
{
    const std::string drive = "d.img@@1M";
    const fs::path payloads = "/p";
    struct Case {
        std::string disk;
        std::vector<std::vector<std::string>> commands;
        std::vector<std::string> payloadBytes;
    };
    const std::vector<Case> cases{
        {"clean_drive_c", {}, {}},
        {"test_file_read_only",
         {{"mmd", "-i", drive, "::/Quarnhold"},
          {"mcopy", "-i", drive, "/p/file-0", "::/Quarnhold/test.txt"},
          {"mattrib", "-i", drive, "+r", "::/Quarnhold/test.txt"}},
         {"keep"}},
        {"test_file_is_a_directory",
         {{"mmd", "-i", drive, "::/Quarnhold"}, {"mmd", "-i", drive, "::/Quarnhold/test.txt"}},
         {}},
        {"file_where_the_directory_should_be",
         {{"mcopy", "-i", drive, "/p/file-0", "::/Quarnhold"}},
         {"not a directory"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk);
        MtoolsLayout layout = MtoolsLayoutFor(fault_sweep::FindStartingDisk(c.disk), drive, payloads);
        EXPECT_EQ(layout.commands, c.commands);
        std::vector<std::string> bytes;
        for (const Payload& payload : layout.payloads) bytes.push_back(payload.bytes);
        EXPECT_EQ(bytes, c.payloadBytes);
    }
    for (std::string refused : {"work_directory_is_a_link", "write_protected_empty", "write_protected_after_a_run"}) {
        EXPECT_THROW(MtoolsLayoutFor(fault_sweep::FindStartingDisk(refused), drive, payloads), CheckError) << refused;
    }
}

const std::string LivecdIni =
    "[FREELOADER]\nDefaultOS=LiveCD_Debug\nTimeOut=5\n\n[Display]\nTitleText=ReactOS LiveCD\n\n"
    "[Operating Systems]\nLiveCD=\"LiveCD\"\nLiveCD_Debug=\"LiveCD (Debug)\"\n\n[LiveCD_Debug]\n"
    "BootType=Windows2003\nOptions=/DEBUG /DEBUGPORT=COM1 /BAUDRATE=115200 /SOS /FASTDETECT /MININT\n";

TEST(LivecdRemaster, BootMenuTable)
{
    auto replace = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string booted = replace(LivecdIni, "TimeOut=5", "TimeOut=0");
    struct Case {
        std::string name;
        std::string ini;
        std::string result;  // expected, or "" for a refusal
    };
    auto crlf = [](std::string text) {
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, "\r");
        return text;
    };
    const std::vector<Case> cases{
        {"the livecd's own", LivecdIni, booted},
        {"another default", replace(LivecdIni, "DefaultOS=LiveCD_Debug", "DefaultOS=LiveCD"), booted},
        {"keys in other case and spaced", replace(LivecdIni, "TimeOut=5", "timeout = 10"), booted},
        {"no time-out key", replace(LivecdIni, "TimeOut=5\n", ""),
         replace(LivecdIni, "DefaultOS=LiveCD_Debug\nTimeOut=5\n", "DefaultOS=LiveCD_Debug\nTimeOut=0\n")},
        {"a time-out elsewhere stays", replace(LivecdIni, "[Display]\n", "[Display]\nTimeOut=9\n"),
         replace(booted, "[Display]\n", "[Display]\nTimeOut=9\n")},
        {"CRLF line ends", crlf(LivecdIni), crlf(booted)},
        {"no loader section", replace(LivecdIni, "[FREELOADER]", "[LOADER]"), ""},
        {"no debug entry", replace(LivecdIni, "[LiveCD_Debug]", "[LiveCD_Other]"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.result.empty()) {
            EXPECT_THROW(BootStraightToDebugEntry(c.ini), CheckError);
        } else {
            EXPECT_EQ(BootStraightToDebugEntry(c.ini), c.result);
        }
    }
}

TEST(LivecdRemaster, TheBootSectorsSignatureTestBecomesAJump)
{
    std::vector<uint8_t> sector(2048, 0x90);
    const std::vector<uint8_t> test{0x3D, 0x55, 0xAA, 0x75};
    std::copy(test.begin(), test.end(), sector.begin() + 119);
    std::vector<uint8_t> expected = sector;
    expected[122] = 0xEB;
    EXPECT_EQ(NeverBootHardDisk(sector), expected);

    EXPECT_THROW(NeverBootHardDisk(std::vector<uint8_t>(2048, 0x90)), CheckError);
    std::copy(test.begin(), test.end(), sector.begin() + 600);
    EXPECT_THROW(NeverBootHardDisk(sector), CheckError);
}

TEST(LivecdRemaster, TheServiceKeyAsHivexgetShowsIt)
{
    // hivexget's listing of the key a remaster wrote.
    const std::string written =
        "\"Type\"=dword:00000001\n\"Start\"=dword:00000002\n\"ErrorControl\"=dword:00000001\n"
        "\"ImagePath\"=str(2):\"system32\\\\drivers\\\\quarnhold.sys\"\n";
    EXPECT_EQ(ParseHiveValues(written), ServiceValues("quarnhold"));
    // A grouped service's Group is a plain string.
    EXPECT_EQ(ParseHiveValues(written + "\"Group\"=\"Base\"\n"), ServiceValues("quarnhold", "Base"));
    EXPECT_NE(ParseHiveValues(written), ServiceValues("quarnhold", "Base"));
    EXPECT_NE(ServiceHiveScript("s", "Base").find("Group\nstring:Base\n"), std::string::npos);
    // A system-start service would find no drive C.
    std::string systemStart = written;
    systemStart.replace(systemStart.find("dword:00000002"), 14, "dword:00000001");
    EXPECT_NE(ParseHiveValues(systemStart), ServiceValues("quarnhold"));
    EXPECT_NE(ParseHiveValues(written), ServiceValues("other"));

    const std::string script = ServiceHiveScript("quarnhold");
    EXPECT_NE(script.find("setval 4\nType\ndword:0x00000001\nStart\ndword:0x00000002\n"), std::string::npos) << script;
    EXPECT_NE(script.find("expandstring:system32\\drivers\\quarnhold.sys\ncommit\n"), std::string::npos) << script;
}

TEST(LivecdRemaster, TheFilesItChanges)
{
    std::vector<std::string> paths;
    const LivecdContents contents{{{"quarnhold_stager", "Base", "s.sys"}, {"quarnhold", "", "q.sys"}}, ""};
    for (const RemasterEdit& edit : RemasterEdits(contents)) paths.push_back(edit.isoPath);
    EXPECT_EQ(paths, (std::vector<std::string>{"freeldr.ini", "loader/isoboot.bin", "reactos/system32/config/system",
                                               "reactos/system32/drivers/quarnhold_stager.sys",
                                               "reactos/system32/drivers/quarnhold.sys"}));
    // The user's own path: no service, a logon that runs a command once.
    paths.clear();
    for (const RemasterEdit& edit : RemasterEdits({{}, "cmd.exe /c C:\\x.cmd"})) paths.push_back(edit.isoPath);
    EXPECT_EQ(paths, (std::vector<std::string>{"freeldr.ini", "loader/isoboot.bin", "reactos/unattend.inf",
                                               "reactos/system32/config/software"}));
}

TEST(LivecdRemaster, LogsOnByItselfAndRunsTheCommandOnce)
{
    const std::string unattend =
        "[Unattend]\r\nSignature = \"$ReactOS$\"\r\n\r\n; yes - unattend setup enabled\r\nUnattendSetupEnabled = "
        "no\r\n\r\nLocaleID = 409\r\n";
    std::string expected = unattend;
    expected.replace(expected.find("UnattendSetupEnabled = no"), 25, "UnattendSetupEnabled = yes");
    EXPECT_EQ(LogOnByItself(unattend), expected);
    std::string spaced = unattend;
    spaced.replace(spaced.find("UnattendSetupEnabled = no"), 25, "  unattendsetupenabled=NO");
    EXPECT_EQ(LogOnByItself(spaced), expected);
    EXPECT_THROW(LogOnByItself("[Unattend]\r\nLocaleID = 409\r\n"), CheckError);

    EXPECT_EQ(RunOnceHiveScript("cmd.exe /c C:\\run-install.cmd"),
              "cd \\Microsoft\\Windows\\CurrentVersion\\RunOnce\nsetval 1\nquarnhold-install\nstring:cmd.exe /c "
              "C:\\run-install.cmd\ncommit\n");
    // As hivexget reads the value back.
    EXPECT_EQ(ParseHiveValues("\"quarnhold-install\"=\"cmd.exe /c C:\\\\run-install.cmd\"\n")["quarnhold-install"],
              "cmd.exe /c C:\\run-install.cmd");
}

// The user's own path: drive C holds the release zip's very files and the
// runner; the script's outcome is read from what the runner left, and set
// beside what install/README.txt promises.
TEST(UserInstall, DriveCHoldsTheReleaseZipsFilesAndTheRunner)
{
    testbed::ScratchFolder scratch;
    if (RunProcess({"sh", "-c", "command -v unzip"}).exitCode != 0) GTEST_SKIP() << "unzip missing";
    std::vector<DiskItem> items = UserInstallDisk(QUARNHOLD_PACKAGE_PATH, scratch.path());
    std::vector<std::string> paths;
    for (const DiskItem& item : items) paths.push_back(item.path);
    const std::string folder(PackageFolder);
    EXPECT_EQ(paths, (std::vector<std::string>{folder, folder + "/README.txt", folder + "/SHA256SUMS",
                                               folder + "/quarnhold-service.cmd", folder + "/quarnhold.pdb",
                                               folder + "/quarnhold.sys", "run-install.cmd"}));
    std::ifstream image(std::filesystem::path(QUARNHOLD_PACKAGE_PATH).parent_path() / "image" / "quarnhold.sys",
                        std::ios::binary);
    EXPECT_EQ(items[5].content, std::string(std::istreambuf_iterator<char>(image), {}));
    const std::string runner = items.back().content;
    for (std::string part : std::vector<std::string>{"set \"SystemRoot=C:\\sysroot\"\r\n",
                                                     "set \"PROCESSOR_ARCHITECTURE=x86\"\r\n", "set \"TEMP=C:\\temp\"\r\n",
                             "call C:\\" + folder + "\\quarnhold-service.cmd /nopause\r\n",
                             ">C:\\install-exit.txt echo %errorlevel%\r\n", "shutdown.exe -r -t 0\r\n"}) {
        EXPECT_NE(runner.find(part), std::string::npos) << part;
    }
    for (std::string product : {"install-output.txt", "install-exit.txt", "sysroot", "sysroot/System32/sc.exe", "temp",
                                "temp/x", "RECYCLED", "RECYCLED/INFO2"}) {
        EXPECT_TRUE(IsLeftOutOfComparison(product)) << product;
    }
    for (std::string compared : {std::string("sysroots"), std::string("Quarnhold/test.txt"), folder + "/quarnhold.sys"}) {
        EXPECT_FALSE(IsLeftOutOfComparison(compared)) << compared;
    }
}

TEST(UserInstall, TheScriptsOutcomeAndWhatTheReadmePromises)
{
    EXPECT_EQ(ScriptOutcome("quarnhold-service: starting quarnhold\r\n[SC] StartService FAILED 317:\r\n\r\nx\r\n",
                            "317\r\n"),
              "exit 317; [SC] StartService FAILED 317:");
    EXPECT_EQ(ScriptOutcome("nothing\r\n", " 5 \r\n"), "exit 5; no sc.exe line about the start");
    EXPECT_EQ(ScriptOutcome(std::nullopt, "0"), "the runner left no install-output.txt");
    // The promise the check holds the script to is the README's own.
    std::ifstream in(QUARNHOLD_INSTALL_README, std::ios::binary);
    const std::string readme(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(readme.find("[SC] StartService FAILED 87:"), std::string::npos);
    EXPECT_NE(readme.find("It exits 0 when the start failed with error 87"), std::string::npos);
    EXPECT_EQ(ReadmePromise(), "exit 0; [SC] StartService FAILED 87:");
}

Answer Start(std::string messages, std::optional<std::vector<DiskItem>> disk)
{
    return {std::move(messages), 0xC0000182, std::move(disk), std::nullopt, std::nullopt};
}

TEST(Comparison, VerdictTable)
{
    const std::string text(fault_sweep::TestFileContent);
    const std::vector<DiskItem> written{testbed::Directory("Quarnhold"), testbed::File("Quarnhold/test.txt", text)};
    const Answer model = Start(SecondStart(), written);
    Answer oneByte = model;
    oneByte.messages[3] ^= 1;
    Answer status = model;
    status.status = 0;
    Answer readOnly = model;
    (*readOnly.disk)[1].readOnly = true;
    Answer extraFile = model;
    extraFile.disk->push_back(testbed::File("Quarnhold/x", ""));
    Answer reactosAnswer = model;
    reactosAnswer.messages += "!";

    const KnownDifference referee{"s", DifferenceKind::RefereeDiffersFromWindows, reactosAnswer.messages, {}, "w", "e"};
    const KnownDifference awaits{"s", DifferenceKind::ModelAwaitsFix, reactosAnswer.messages, {}, "w", "e"};
    const KnownDifference diskToo{"s", DifferenceKind::RefereeDiffersFromWindows, model.messages, readOnly.disk, "w",
                                  "e"};
    // ReactOS stops in the middle: its messages until then, no status, its
    // disk not compared.
    Answer stopped = model;
    stopped.messages = model.messages.substr(0, 20);
    stopped.status = std::nullopt;
    stopped.disk = std::nullopt;
    stopped.stop = "*** Assertion failed: x";
    Answer stoppedElsewhere = stopped;
    stoppedElsewhere.stop = "*** Fatal System Error: 0x0000007E";
    const KnownDifference stops{"s", DifferenceKind::RefereeDiffersFromWindows, stopped.messages, {}, "w", "e",
                                "*** Assertion failed: x"};
    struct Case {
        std::string name;
        Answer reactos;
        Answer model;
        const KnownDifference* known;
        Verdict verdict;
    };
    const std::vector<Case> cases{
        {"same", model, model, nullptr, Verdict::Agrees},
        {"no drive C on either side", Start("x", std::nullopt), Start("x", std::nullopt), nullptr, Verdict::Agrees},
        {"one message byte", oneByte, model, nullptr, Verdict::Differs},
        {"the status", status, model, nullptr, Verdict::Differs},
        {"a read-only flag", readOnly, model, nullptr, Verdict::Differs},
        {"a file more", extraFile, model, nullptr, Verdict::Differs},
        {"a disk against none", model, Start(model.messages, std::nullopt), nullptr, Verdict::Differs},
        {"the referee differs as recorded", reactosAnswer, model, &referee, Verdict::KnownDifference},
        {"the model bent to the referee", reactosAnswer, reactosAnswer, &referee, Verdict::Differs},
        {"the referee differs otherwise", oneByte, model, &referee, Verdict::Differs},
        {"the referee's disk as recorded", readOnly, model, &diskToo, Verdict::KnownDifference},
        {"the model still awaits its fix", reactosAnswer, model, &awaits, Verdict::KnownDifference},
        {"the model has caught up", model, model, &awaits, Verdict::KnownDifferenceGone},
        {"awaiting, but ReactOS answers otherwise", oneByte, model, &awaits, Verdict::Differs},
        {"ReactOS stops, not recorded", stopped, model, nullptr, Verdict::Differs},
        {"ReactOS stops as recorded", stopped, model, &stops, Verdict::KnownDifference},
        {"ReactOS stops elsewhere", stoppedElsewhere, model, &stops, Verdict::Differs},
        {"ReactOS answers where a stop is recorded", model, model, &stops, Verdict::Differs},
    };
    for (const Case& c : cases) {
        Judgement judgement = Judge(c.reactos, c.model, c.known);
        EXPECT_EQ(judgement.verdict, c.verdict) << c.name << ": " << judgement.note;
        EXPECT_EQ(Passes(judgement.verdict), c.verdict != Verdict::Differs) << c.name;
    }
}

TEST(CheckReport, MessageRowsTable)
{
    const std::vector<std::string> model{Gbk("驱动入口"), Gbk("无法写入文件,错误代码: C0000010"), Gbk("执行完退出")};
    struct Case {
        std::string name;
        std::string reactos;
        std::vector<Row> rows;
    };
    const std::vector<Case> cases{
        {"same",
         model[0] + model[1] + model[2],
         {{"驱动入口", "驱动入口", true},
          {"无法写入文件,错误代码: C0000010", "无法写入文件,错误代码: C0000010", true},
          {"执行完退出", "执行完退出", true}}},
        {"the middle differs",
         model[0] + Gbk("无法写入文件,错误代码: C000000D") + model[2],
         {{"驱动入口", "驱动入口", true},
          {"无法写入文件,错误代码: C000000D", "无法写入文件,错误代码: C0000010", false},
          {"执行完退出", "执行完退出", true}}},
        {"bytes after the last message",
         model[0] + model[1] + model[2] + "\n",
         {{"驱动入口", "驱动入口", true},
          {"无法写入文件,错误代码: C0000010", "无法写入文件,错误代码: C0000010", true},
          {"执行完退出", "执行完退出", true},
          {"\\n", "", false}}},
        {"messages missing",
         model[0],
         {{"驱动入口", "驱动入口", true}, {"", "无法写入文件,错误代码: C0000010", false}, {"", "执行完退出", false}}},
    };
    for (const Case& c : cases) EXPECT_EQ(MessageRows(c.reactos, model), c.rows) << c.name;

    EXPECT_EQ(DisplayWidth("驱动入口"), 8u);
    EXPECT_EQ(DisplayWidth("C: 目录"), 7u);
    EXPECT_EQ(FirstDifference("abcd", "abXd"),
              "first differing byte at offset 2: ReactOS 0x63, model 0x58 (4 and 4 bytes in all)");
    EXPECT_EQ(FirstDifference("ab", "abc"),
              "first differing byte at offset 2: ReactOS the end, model 0x63 (2 and 3 bytes in all)");
    EXPECT_EQ(FirstDifference("ab", "ab"), "");
}

TEST(Scenarios, EveryOneStartsFromADiskFatCanHold)
{
    std::set<std::string> names;
    for (const Scenario& scenario : Scenarios()) {
        EXPECT_TRUE(names.insert(scenario.name).second) << "twice: " << scenario.name;
        const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(scenario.startingDisk);
        EXPECT_EQ(WhyFatCannotHold(disk), std::nullopt) << scenario.name;
        // The kind says what makes the state: the stager, or the volume.
        EXPECT_EQ(scenario.kind == ScenarioKind::HeldState, !disk.foreignOpens.empty()) << scenario.name;
        EXPECT_EQ(scenario.kind == ScenarioKind::VolumeState, disk.space != testbed::VolumeSpace{}) << scenario.name;
        if (scenario.start > 1) {
            EXPECT_TRUE(std::any_of(Scenarios().begin(), Scenarios().end(),
                                    [&](const Scenario& s) {
                                        return s.startingDisk == scenario.startingDisk && s.start == scenario.start - 1;
                                    }))
                << scenario.name << " has no earlier start";
        }
    }
    for (const KnownDifference& known : KnownDifferences()) {
        EXPECT_NE(FindScenario(known.scenario), nullptr) << known.scenario;
        EXPECT_FALSE(known.evidence.empty()) << known.scenario;
    }
    // Every starting disk a FAT disk under ReactOS can hold is a scenario;
    // after_a_run is the disk second_start starts from.
    for (const fault_sweep::StartingDisk& disk : fault_sweep::StartingDisks()) {
        if (WhyFatCannotHold(disk) || disk.name == "after_a_run") continue;
        EXPECT_TRUE(std::any_of(Scenarios().begin(), Scenarios().end(),
                                [&](const Scenario& s) { return s.startingDisk == disk.name; }))
            << disk.name << " has no real-kernel scenario";
    }
}

TEST(Scenarios, BootChainsTable)
{
    auto names = [](const std::vector<std::vector<const Scenario*>>& chains) {
        std::vector<std::vector<std::string>> all;
        for (const auto& chain : chains) {
            all.emplace_back();
            for (const Scenario* scenario : chain) all.back().push_back(scenario->name);
        }
        return all;
    };
    using Chains = std::vector<std::vector<std::string>>;
    EXPECT_EQ(names(BootChains({"second_start"})), (Chains{{"clean_drive_c", "second_start"}}));
    EXPECT_EQ(names(BootChains({"no_drive_c", "clean_drive_c"})), (Chains{{"clean_drive_c"}, {"no_drive_c"}}));
    // The user's own path boots on a disk of its own.
    EXPECT_EQ(names(BootChains({"user_install", "clean_drive_c"})), (Chains{{"clean_drive_c"}, {"user_install"}}));
    auto all = BootChains({});
    EXPECT_EQ(all.size() + 1, Scenarios().size());  // the second start shares its disk's chain
    EXPECT_EQ(names(all).front(), (std::vector<std::string>{"clean_drive_c", "second_start"}));
    EXPECT_THROW(BootChains({"nope"}), std::invalid_argument);
}

TEST(QemuBoot, AMachineWithoutDriveCHasOnlyTheCd)
{
    BootPlan plan{"/i.iso", std::nullopt, "/s.log", "/q.log"};
    BootSettings settings;
    auto drives = [](const std::vector<std::string>& command) {
        std::vector<std::string> found;
        for (size_t i = 0; i + 1 < command.size(); ++i) {
            if (command[i] == "-drive") found.push_back(command[i + 1]);
        }
        return found;
    };
    const std::string cd = "file=/i.iso,format=raw,if=ide,index=2,media=cdrom,readonly=on";
    EXPECT_EQ(drives(QemuCommand(plan, settings)), std::vector<std::string>{cd});
    plan.disk = "/c.img";
    settings.accelerator = "kvm";
    std::vector<std::string> command = QemuCommand(plan, settings);
    EXPECT_EQ(drives(command), (std::vector<std::string>{"file=/c.img,format=raw,if=ide,index=0,media=disk", cd}));
    EXPECT_NE(std::find(command.begin(), command.end(), "kvm"), command.end());
    EXPECT_NE(std::find(command.begin(), command.end(), "file:/s.log"), command.end());
}

// The model lays the starting disk itself, with the opens others hold and
// its free clusters; a second start runs on the folder the first left.
TEST(ModelRun, TheCommandForEachStart)
{
    const fault_sweep::StartingDisk& clean = fault_sweep::FindStartingDisk("clean_drive_c");
    EXPECT_EQ(ModelCommand("q", "i.sys", clean, std::nullopt),
              (std::vector<std::string>{"q", "--json", "--file-system", "fat", "--start-disk", "clean_drive_c",
                                        "--keep-drive-c", "i.sys"}));
    EXPECT_EQ(ModelCommand("q", "i.sys", clean, fs::path("/w/c")),
              (std::vector<std::string>{"q", "--json", "--file-system", "fat", "--drive-c", "/w/c", "i.sys"}));
    EXPECT_EQ(ModelCommand("q", "i.sys", fault_sweep::FindStartingDisk("no_drive_c"), std::nullopt),
              (std::vector<std::string>{"q", "--json", "--no-drive-c", "i.sys"}));
}

TEST(ModelRun, TheRunRecord)
{
    ModelRun run =
        ParseRunRecord(R"({"messages": [{"text": "x", "gbk": "c7fd"}, {"gbk": "41"}], "status": "0xC0000182"})");
    EXPECT_EQ(run.messages, (std::vector<std::string>{"\xC7\xFD", "A"}));
    EXPECT_EQ(run.status, 0xC0000182u);
    EXPECT_EQ(run.driveC, std::nullopt);
    EXPECT_EQ(ParseRunRecord(R"({"messages": [], "status": null})").status, std::nullopt);
    EXPECT_EQ(ParseRunRecord(R"({"messages": [], "status": null, "driveC": "/w/c"})").driveC, fs::path("/w/c"));
    EXPECT_THROW(ParseRunRecord("drive C: ..."), CheckError);
    EXPECT_THROW(ParseRunRecord(R"({"messages": [{"gbk": "c7f"}], "status": null})"), CheckError);
    try {
        ParseRunRecord(R"({"schema": 1, "error": {"kind": "cannot-load", "message": "cannot load x.sys: no PE"}})");
        ADD_FAILURE() << "an error record was taken for a run";
    } catch (const CheckError& refused) {
        EXPECT_STREQ(refused.what(), "quarnhold-run made no run: cannot load x.sys: no PE");
    }
}

TEST(CheckOptions, RefusalsTable)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{"--jobs", "3"},
                                                                                           {"--jobs=0"},
                                                                                           {"--accel", "xen"},
                                                                                           {"--accel"},
                                                                                           {"--scenario", "nope"},
                                                                                           {"--boot-timeout", "0"},
                                                                                           {"--keep=yes"},
                                                                                           {"--iso"},
                                                                                           {"--frobnicate"}}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(ParseCheckOptions(arguments, "i", "q"))) << arguments.front();
    }
    auto parsed =
        ParseCheckOptions({"--jobs=1", "--iso", "r.iso", "--scenario", "no_drive_c", "--accel=kvm"}, "i", "q");
    ASSERT_TRUE(std::holds_alternative<CheckOptions>(parsed));
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    EXPECT_EQ(options.jobs, 1);
    EXPECT_EQ(options.iso, fs::path("r.iso"));
    EXPECT_EQ(options.boot.accelerator, "kvm");
    EXPECT_EQ(options.image, fs::path("i"));
    EXPECT_EQ(options.modelImage, fs::path("i"));

    // A mutant on ReactOS is judged against the reference on the model.
    parsed = ParseCheckOptions({"--image", "mutant.sys"}, "i", "q");
    ASSERT_TRUE(std::holds_alternative<CheckOptions>(parsed));
    EXPECT_EQ(std::get<CheckOptions>(parsed).image, fs::path("mutant.sys"));
    EXPECT_EQ(std::get<CheckOptions>(parsed).modelImage, fs::path("i"));
}

TEST(ChildProcess, ABackgroundProgramIsStoppedByItsProcessId)
{
    testbed::ScratchFolder folder;
    const fs::path output = folder.path() / "out";
    BackgroundProcess child({"sh", "-c", "echo started; exec sleep 60"}, output);
    for (int i = 0; i < 100 && fs::file_size(output) == 0; ++i) usleep(20000);
    EXPECT_TRUE(child.Running());
    child.Stop();
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(kill(child.Pid(), 0), -1);  // gone, and reaped
    std::ifstream in(output);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "started\n");

    ProcessResult failed = RunProcess({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.out, "out\n");
    EXPECT_EQ(failed.err, "err\n");
    try {
        RunOrThrow({"sh", "-c", "echo why >&2; exit 4"});
        ADD_FAILURE() << "no error";
    } catch (const CheckError& error) {
        EXPECT_STREQ(error.what(), "sh -c 'echo why >&2; exit 4' failed (exit status 4): why");
    }
}

TEST(RealKernelCheck, WithoutAnIsoItSaysSoInOneLineAndSkips)
{
    tests::CommandResult run =
        tests::RunCommand({"env", "-u", "QUARNHOLD_REACTOS_ISO", QUARNHOLD_CHECK_PATH, "--skip-without-iso"});
    EXPECT_EQ(run.exitCode, Skipped);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_NE(run.out.find("skipped"), std::string::npos);

    run = tests::RunCommand({"env", "-u", "QUARNHOLD_REACTOS_ISO", QUARNHOLD_CHECK_PATH});
    EXPECT_EQ(run.exitCode, BadArguments) << run.err;
    run = tests::RunCommand({QUARNHOLD_CHECK_PATH, "--iso", "/no/such.iso"});
    EXPECT_EQ(run.exitCode, BadArguments);
    EXPECT_NE(run.err.find("no such livecd: /no/such.iso"), std::string::npos) << run.err;
}

// The livecd is i386: the amd64 image is refused before anything boots.
TEST(RealKernelCheck, RefusesTheAmd64ImageInOneLine)
{
    // Any file passes for the livecd until the check begins.
    tests::CommandResult run = tests::RunCommand(
        {QUARNHOLD_CHECK_PATH, "--iso", QUARNHOLD_AMD64_IMAGE_PATH, "--image", QUARNHOLD_AMD64_IMAGE_PATH});
    EXPECT_EQ(run.exitCode, BadArguments);
    EXPECT_EQ(run.err.rfind("real-kernel-check: " QUARNHOLD_AMD64_IMAGE_PATH
                            " is not an i386 image (machine 0x8664): the ReactOS livecd is i386",
                            0),
              0u)
        << run.err;
}

}  // namespace
}  // namespace quarnhold::real_kernel
