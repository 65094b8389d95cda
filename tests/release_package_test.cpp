// release_package_test.cpp
//
// The release zips (i386 and amd64) as someone on Windows unpacks them, the
// amd64 image's test signature as the shipped certificate verifies it, and
// what makes each worth a checksum: the image build gives the same bytes,
// signed or not, from any build folder and any checkout path.

#include "tests/support/command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using quarnhold::tests::CommandResult;
using quarnhold::tests::RunCommand;

const fs::path kSourceDir = QUARNHOLD_SOURCE_DIR;
const std::string kCMake = QUARNHOLD_CMAKE;
const fs::path kTestCertificate = kSourceDir / "test_signing" / "quarnhold.cer";

// One image's release: where the build puts the image and the zip, what the
// zip holds, and the toolchain file its image project is configured with.
struct Release {
    std::string machine;
    std::string windowsMachine;  // as the install script names it: x86 or AMD64
    fs::path imageDir;
    fs::path package;
    std::vector<std::string> files;
    std::string toolchain;
    bool signedImage = false;
};

const Release kReleases[] = {
    {"i386", "x86", QUARNHOLD_IMAGE_DIR, QUARNHOLD_PACKAGE_PATH,
     {"quarnhold.sys", "quarnhold.pdb", "quarnhold-service.cmd", "README.txt", "SHA256SUMS"},
     "i686-windows-kernel.cmake"},
    {"amd64", "AMD64", QUARNHOLD_AMD64_IMAGE_DIR, QUARNHOLD_AMD64_PACKAGE_PATH,
     {"quarnhold.sys", "quarnhold.pdb", "quarnhold.cer", "quarnhold-service.cmd", "README.txt",
      "SHA256SUMS"},
     "amd64-windows-kernel.cmake", true},
};

void PrintTo(const Release& release, std::ostream* out) { *out << release.machine; }

std::string ReleaseName(const testing::TestParamInfo<Release>& info) { return info.param.machine; }

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), {}};
}

// A fresh folder under the temporary directory, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "quarnhold-release-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
        path_ = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs a step that must succeed; a failure carries the step's own output.
void RunStep(const std::vector<std::string>& argv)
{
    CommandResult result = RunCommand(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error(argv.front() + " " + argv.at(1) + " failed:\n" + result.out + result.err);
    }
}

struct ZipEntry {
    std::string name;
    unsigned madeOnSystem = 0;  // 3 is Unix, the only one whose mode is meaningful
    unsigned dosTime = 0;
    unsigned dosDate = 0;
    unsigned mode = 0;
    unsigned extraLength = 0;
};

unsigned Le16(const std::string& bytes, size_t at)
{
    return static_cast<uint8_t>(bytes.at(at)) | static_cast<uint8_t>(bytes.at(at + 1)) << 8;
}

unsigned Le32(const std::string& bytes, size_t at) { return Le16(bytes, at) | Le16(bytes, at + 2) << 16; }

// The zip's central directory, which is what an unzip program lists.
std::vector<ZipEntry> CentralDirectory(const std::string& zip)
{
    size_t end = zip.rfind(std::string("PK\5\6", 4));
    if (end == std::string::npos) throw std::runtime_error("no end of central directory");
    std::vector<ZipEntry> entries;
    size_t at = Le32(zip, end + 16);
    for (unsigned count = Le16(zip, end + 10); count > 0; --count) {
        if (Le32(zip, at) != 0x02014B50) throw std::runtime_error("bad central directory entry");
        ZipEntry entry;
        entry.madeOnSystem = static_cast<uint8_t>(zip.at(at + 5));
        entry.dosTime = Le16(zip, at + 12);
        entry.dosDate = Le16(zip, at + 14);
        unsigned nameLength = Le16(zip, at + 28);
        entry.extraLength = Le16(zip, at + 30);
        unsigned commentLength = Le16(zip, at + 32);
        entry.mode = Le32(zip, at + 38) >> 16;
        entry.name = zip.substr(at + 46, nameLength);
        entries.push_back(entry);
        at += 46 + nameLength + entry.extraLength + commentLength;
    }
    return entries;
}

class ReleasePackage : public testing::TestWithParam<Release> {};

TEST_P(ReleasePackage, HoldsItsFilesInOrderWithFixedTimesAndModes)
{
    std::vector<ZipEntry> entries = CentralDirectory(ReadFile(GetParam().package));
    std::vector<std::string> names;
    for (const ZipEntry& entry : entries) names.push_back(entry.name);
    EXPECT_EQ(names, GetParam().files);

    for (const ZipEntry& entry : entries) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.dosDate, (2000u - 1980u) << 9 | 1u << 5 | 1u);  // 2000-01-01
        EXPECT_EQ(entry.dosTime, 0u);                                    // 00:00:00
        EXPECT_EQ(entry.madeOnSystem, 3u);
        EXPECT_EQ(entry.mode, 0100644u);
        // Extra fields would carry the packer's user and group, and access times.
        EXPECT_EQ(entry.extraLength, 0u);
    }
}

TEST_P(ReleasePackage, UnpacksToFilesThatMatchTheirChecksumsAndTheBuild)
{
    const Release& release = GetParam();
    ScratchFolder unpacked;
    RunStep({kCMake, "-E", "chdir", unpacked.path(), kCMake, "-E", "tar", "xf", release.package});

    // One line per file, every file but SHA256SUMS itself and nothing else.
    CommandResult check =
        RunCommand({kCMake, "-E", "chdir", unpacked.path(), "sha256sum", "--check", "--strict", "SHA256SUMS"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    std::string listed;
    for (const std::string& name : release.files) {
        if (name != "SHA256SUMS") listed += name + ": OK\n";
    }
    EXPECT_EQ(check.out, listed);

    EXPECT_TRUE(ReadFile(unpacked / "quarnhold.sys") == ReadFile(release.imageDir / "quarnhold.sys"));
    EXPECT_TRUE(ReadFile(unpacked / "quarnhold.pdb") == ReadFile(release.imageDir / "quarnhold.pdb"));
    if (release.signedImage) {
        EXPECT_TRUE(ReadFile(unpacked / "quarnhold.cer") == ReadFile(kTestCertificate));
    }
    // The install script is told which Windows the image is for, so that it
    // can refuse the other.
    EXPECT_NE(ReadFile(unpacked / "quarnhold-service.cmd").find("set \"IMAGE_MACHINE=" + release.windowsMachine + "\"\r\n"),
              std::string::npos);

    // cmd.exe mis-reads labels in a script with bare LF lines, and older
    // Notepad shows such a README as one line.
    for (const char* name : {"quarnhold-service.cmd", "README.txt"}) {
        std::string text = ReadFile(unpacked / name);
        size_t lines = std::count(text.begin(), text.end(), '\n');
        size_t crlf = 0;
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++crlf;
        EXPECT_GT(lines, 0u) << name;
        EXPECT_EQ(crlf, lines) << name;
    }
}

TEST_P(ReleasePackage, IsTheSameWhenMadeAgainElsewhereUnderAnotherTimeZoneAndUmask)
{
    const Release& release = GetParam();
    ScratchFolder scratch;
    fs::path again = scratch / "again.zip";
    std::vector<std::string> command = {kCMake, "-DIMAGE_DIR=" + release.imageDir.string(),
                                        "-DSOURCE_DIR=" + kSourceDir.string(),
                                        "-DSTAGE_DIR=" + (scratch / "stage").string(),
                                        "-DPACKAGE=" + again.string(), "-DZIP=" QUARNHOLD_ZIP,
                                        "-DMACHINE=" + release.windowsMachine};
    if (release.signedImage) command.push_back("-DCERTIFICATE=" + kTestCertificate.string());
    command.insert(command.end(), {"-P", QUARNHOLD_PACKAGE_SCRIPT});
    // 8:45 ahead of UTC, given as a rule so it needs no time zone files.
    setenv("TZ", "QST-8:45", 1);
    mode_t umaskBefore = umask(077);
    CommandResult made = RunCommand(command);
    umask(umaskBefore);
    unsetenv("TZ");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_TRUE(ReadFile(again) == ReadFile(release.package));
}

// The certificate in the amd64 zip verifies the image's signature there, as
// on Windows, with osslsigncode; one byte changed after signing, in the
// code, and it no longer does.
TEST(ReleasePackage, Amd64ImageVerifiesWithTheShippedCertificateUntilAByteChanges)
{
    const Release& release = kReleases[1];
    ScratchFolder unpacked;
    RunStep({kCMake, "-E", "chdir", unpacked.path(), kCMake, "-E", "tar", "xf", release.package});
    // osslsigncode reads a CA file as PEM; Windows ships certificates as DER.
    const fs::path pem = unpacked / "certificate.pem";
    RunStep({QUARNHOLD_OPENSSL, "x509", "-inform", "DER", "-in", unpacked / "quarnhold.cer", "-out", pem});

    CommandResult verified =
        RunCommand({QUARNHOLD_OSSLSIGNCODE, "verify", "-CAfile", pem, "-in", unpacked / "quarnhold.sys"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    EXPECT_NE(verified.out.find("Signature verification: ok"), std::string::npos) << verified.out;

    // The first byte of .text: the code's first instruction.
    std::string image = ReadFile(unpacked / "quarnhold.sys");
    const size_t peHeader = static_cast<uint8_t>(image.at(0x3C)) | static_cast<uint8_t>(image.at(0x3D)) << 8;
    const size_t sections = peHeader + 24 + (static_cast<uint8_t>(image.at(peHeader + 20)) |
                                             static_cast<uint8_t>(image.at(peHeader + 21)) << 8);
    ASSERT_EQ(image.substr(sections, 5), ".text");
    const size_t text = Le32(image, sections + 20);
    image.at(text) = static_cast<char>(image.at(text) ^ 0x01);
    const fs::path changed = unpacked / "changed.sys";
    std::ofstream(changed, std::ios::binary) << image;
    CommandResult refused = RunCommand({QUARNHOLD_OSSLSIGNCODE, "verify", "-CAfile", pem, "-in", changed});
    EXPECT_NE(refused.exitCode, 0) << refused.out;
    EXPECT_NE((refused.out + refused.err).find("MISMATCH"), std::string::npos) << refused.out << refused.err;
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleasePackage, testing::ValuesIn(kReleases), ReleaseName);

// The folders of the checkout that the image's own build reads.
const char* const kImageSourceFolders[] = {"cmake", "driver", "kernel", "steps", "test_signing"};

// A copy of what the image project reads, at `checkout`.
void CopyImageSources(const fs::path& checkout)
{
    fs::create_directory(checkout);
    for (const char* folder : kImageSourceFolders) {
        fs::copy(kSourceDir / folder, checkout / folder, fs::copy_options::recursive);
    }
}

// Configures (once) and builds cmake/kernel-image from `sources` into
// `binary` with `toolchain`, as the top-level build configures it, without
// the faulty guest drivers, which the release does not need.
void BuildImage(const fs::path& sources, const fs::path& binary, const std::string& toolchain = kReleases[0].toolchain)
{
    if (!fs::exists(binary / "CMakeCache.txt")) {
        RunStep({kCMake, "-S", sources / "cmake" / "kernel-image", "-B", binary, "-G", QUARNHOLD_CMAKE_GENERATOR,
                 "-DCMAKE_MAKE_PROGRAM=" QUARNHOLD_MAKE_PROGRAM,
                 "-DCMAKE_TOOLCHAIN_FILE=" + (sources / "cmake" / toolchain).string(),
                 "-DQUARNHOLD_GUEST_TEST_DRIVERS=OFF"});
    }
    RunStep({kCMake, "--build", binary});
}

class ImageBuild : public testing::TestWithParam<Release> {};

// For amd64 the image compared is the signed one: the signature is
// reproducible too.
TEST_P(ImageBuild, IsTheSameFromAnotherBuildFolderAndAnotherCheckoutPath)
{
    const Release& release = GetParam();
    ScratchFolder scratch;
    // A second copy of what the image project reads, at another path.
    fs::path otherCheckout = scratch / "other-checkout";
    CopyImageSources(otherCheckout);
    BuildImage(kSourceDir, scratch / "same-checkout", release.toolchain);
    BuildImage(otherCheckout, scratch / "other-checkout-build", release.toolchain);

    for (const char* name : {"quarnhold.sys", "quarnhold.pdb"}) {
        SCOPED_TRACE(name);
        std::string built = ReadFile(release.imageDir / name);
        EXPECT_TRUE(ReadFile(scratch / "same-checkout" / name) == built) << "another build folder";
        EXPECT_TRUE(ReadFile(scratch / "other-checkout-build" / name) == built) << "another checkout path";
    }
}

INSTANTIATE_TEST_SUITE_P(Releases, ImageBuild, testing::ValuesIn(kReleases), ReleaseName);

// What the build of `binary` would do now, as its dry run (`-n`) lists it.
std::string DryRun(const fs::path& binary)
{
    CommandResult result = RunCommand({kCMake, "--build", binary, "--", "-n"});
    if (result.exitCode != 0) throw std::runtime_error("the dry run failed:\n" + result.out + result.err);
    return result.out;
}

// An edit to any header of the driver, its steps or the kernel interface
// rebuilds the image, as it rebuilds the host-linked driver; otherwise the
// two ways of running the driver would quietly run different code. Each
// header is touched alone and the build's dry run asked whether it would
// link the image again (the build's own decision, without the compiles),
// then the header's time is put back; a real build after touching them all
// shows the decision carried out.
TEST(ImageBuildDependencies, IsRebuiltWhenAHeaderChanges)
{
    ScratchFolder scratch;
    const fs::path checkout = scratch / "checkout";
    const fs::path binary = scratch / "build";
    CopyImageSources(checkout);
    BuildImage(checkout, binary);
    const fs::path image = binary / "quarnhold.sys";

    // Nothing changed, so nothing is built: the checks below can tell.
    fs::file_time_type built = fs::last_write_time(image);
    ASSERT_EQ(DryRun(binary).find("quarnhold.sys"), std::string::npos) << DryRun(binary);
    BuildImage(checkout, binary);
    ASSERT_EQ(fs::last_write_time(image), built);

    std::vector<fs::path> headers;
    for (const char* folder : {"driver", "kernel", "steps"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(checkout / folder)) {
            if (entry.path().extension() == ".h") headers.push_back(entry.path());
        }
    }
    ASSERT_GE(headers.size(), 3u);
    for (const fs::path& header : headers) {
        SCOPED_TRACE(fs::relative(header, checkout).string());
        const fs::file_time_type before = fs::last_write_time(header);
        fs::last_write_time(header, fs::file_time_type::clock::now());  // touch
        EXPECT_NE(DryRun(binary).find("quarnhold.sys"), std::string::npos);
        fs::last_write_time(header, before);
        ASSERT_EQ(DryRun(binary).find("quarnhold.sys"), std::string::npos) << "the header's time was not put back";
    }

    for (const fs::path& header : headers) fs::last_write_time(header, fs::file_time_type::clock::now());
    BuildImage(checkout, binary);
    EXPECT_GT(fs::last_write_time(image), built);
}

}  // namespace
