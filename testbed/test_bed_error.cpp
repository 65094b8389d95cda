// test_bed_error.cpp

#include "testbed/test_bed_error.h"

#include <cstring>

namespace quarnhold::testbed {

std::string ErrnoText(int error)
{
    const char* name = strerrorname_np(error);
    return std::string(std::strerror(error)) + " (" + (name != nullptr ? name : "errno " + std::to_string(error)) + ")";
}

TestBedError::TestBedError(std::string_view operation, const std::filesystem::path& hostPath, int error)
    : std::runtime_error("test-bed error: cannot " + std::string(operation) + " " + hostPath.string() + ": " +
                         ErrnoText(error)),
      errno_(error)
{
}

TestBedError::TestBedError(std::string_view what) : std::runtime_error("test-bed error: " + std::string(what)) {}

}  // namespace quarnhold::testbed
