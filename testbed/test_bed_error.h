// test_bed_error.h
//
// A host operation of the test bed itself failed or came out other than
// asked: a folder the host will not let us write, a disk laid down short, a
// file whose other name may lie outside drive C. What a run shows after that
// is the host's doing, not the driver's, so the run stops there and is
// counted as an environment failure. Host refusals that have an NT meaning
// (a read-only mount, a full disk) are not these: the model answers them with
// NT's status.

#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quarnhold::testbed {

class TestBedError : public std::runtime_error {
public:
    // `operation` on `hostPath` failed with the errno value `error`:
    // "test-bed error: cannot create the directory /tmp/c/Quarnhold: Permission denied (EACCES)".
    TestBedError(std::string_view operation, const std::filesystem::path& hostPath, int error);
    // A failure the host did not report with an errno, such as a mismatch.
    explicit TestBedError(std::string_view what);

    int Errno() const { return errno_; }  // 0 when the host gave none

private:
    int errno_ = 0;
};

// "Permission denied (EACCES)": the host's text for an errno value, and its name.
std::string ErrnoText(int error);

}  // namespace quarnhold::testbed
