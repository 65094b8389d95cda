// known_differences.cpp

#include "real_kernel/known_differences.h"

#include "fault_sweep/expected_messages.h"
#include "testbed/text_encoding.h"

namespace quarnhold::real_kernel {
namespace {

namespace message = fault_sweep::message;
using fault_sweep::Printed;

// The driver's messages for test.txt as a directory on FAT: the directory is
// shared, the create collides, the open succeeds, and FAT refuses the write
// with STATUS_INVALID_PARAMETER.
std::string DirectoryWriteOnFat()
{
    std::string text;
    for (const std::string& printed :
         {Printed(message::DriverEntry), Printed(message::CreatingDirectory), Printed(message::DirectoryOpened),
          Printed(message::CreatingFile), Printed(message::FileCreateFailed, 0xC0000035), Printed(message::OpeningFile),
          Printed(message::FileOpened), Printed(message::FileWriteFailed, 0xC000000D), Printed(message::DriverExit)}) {
        text += printed;
    }
    return testbed::Utf8ToGbk(text).value();
}

}  // namespace

const std::vector<KnownDifference>& KnownDifferences()
{
    static const std::vector<KnownDifference> differences{
        {.scenario = "test_file_is_a_directory",
         .kind = DifferenceKind::ModelAwaitsFix,
         .reactosMessages = DirectoryWriteOnFat(),
         .what = "a write on a handle to a directory: C000000D on FAT (ReactOS, Windows), C0000010 in a model "
                 "without the FAT flavour of drive C",
         .evidence = "Windows' FastFAT (Windows-driver-samples, filesys/fastfat/write.c, FatCommonWrite) fails a "
                     "write to a UserDirectoryOpen with STATUS_INVALID_PARAMETER"},
    };
    return differences;
}

const KnownDifference* FindKnownDifference(const std::string& scenario)
{
    for (const KnownDifference& difference : KnownDifferences()) {
        if (difference.scenario == scenario) return &difference;
    }
    return nullptr;
}

}  // namespace quarnhold::real_kernel
