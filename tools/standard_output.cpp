// standard_output.cpp

#include "tools/standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "testbed/test_bed_error.h"

namespace quarnhold::tools {
namespace {

std::array<bool, 3> closedAtStart{};

const char* StreamName(int fd)
{
    return fd == STDOUT_FILENO ? "standard output" : "standard error";
}

}  // namespace

void GuardStandardStreams()
{
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        closedAtStart[static_cast<size_t>(fd)] = true;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

std::optional<Refusal> Emit(int fd, std::string_view text)
{
    if (closedAtStart[static_cast<size_t>(fd)]) {
        return Refusal{ExitRunFailed, "cannot write the report: " + std::string(StreamName(fd)) + " is closed"};
    }
    while (!text.empty()) {
        ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EPIPE) {
            return Refusal{ExitRunFailed, "cannot write the report: " + std::string(StreamName(fd)) +
                                              " was closed by its reader (EPIPE)"};
        }
        if (written <= 0) {
            return Refusal{ExitRunFailed, "cannot write the report to " + std::string(StreamName(fd)) + ": " +
                                              testbed::ErrnoText(written < 0 ? errno : ENOSPC)};
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return std::nullopt;
}

}  // namespace quarnhold::tools
