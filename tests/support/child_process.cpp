// child_process.cpp

#include "tests/support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace quarnhold::tests {
namespace {

void WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

}  // namespace

ChildResult RunInChild(const std::function<std::string()>& body)
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("cannot fork");
    if (child == 0) {
        close(pipe[0]);
        int code = 0;
        try {
            WriteAll(pipe[1], body());
        } catch (const std::exception& failure) {
            WriteAll(pipe[1], std::string("exception: ") + failure.what());
            code = 1;
        }
        _exit(code);  // no test-process exit handlers in the child
    }
    close(pipe[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) result.text.append(buffer, static_cast<size_t>(got));
    }
    close(pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.completed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFSIGNALED(status)) result.text += "killed by signal " + std::to_string(WTERMSIG(status));
    return result;
}

bool RunningAsRoot()
{
    return geteuid() == 0;
}

void BecomeNobody()
{
    const passwd* user = getpwnam("nobody");
    const group* users = getgrnam("nogroup");
    if (user == nullptr || users == nullptr) throw std::runtime_error("no user nobody or group nogroup");
    if (setgroups(0, nullptr) != 0 || setresgid(users->gr_gid, users->gr_gid, users->gr_gid) != 0 ||
        setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0) {
        throw std::runtime_error(std::string("cannot become nobody: ") + std::strerror(errno));
    }
}

}  // namespace quarnhold::tests
