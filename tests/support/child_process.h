// child_process.h
//
// Runs a piece of a test in a forked child, for what must not touch the test
// process itself: dropped privileges, resource limits, a private mount
// namespace, a umask.

#pragma once

#include <functional>
#include <string>

namespace quarnhold::tests {

struct ChildResult {
    bool completed = false;  // the body returned; otherwise it threw or died
    std::string text;        // what the body returned, or why it did not
};

// Runs `body` in a forked child and hands back what it returned. An
// exception, or a death by signal, comes back as completed = false with the
// reason in `text`.
ChildResult RunInChild(const std::function<std::string()>& body);

// True when the test runs as root, which the privilege tests need.
bool RunningAsRoot();

// Becomes the unprivileged user "nobody" (and group "nogroup"), with no
// supplementary groups; throws std::runtime_error when that cannot be done.
void BecomeNobody();

}  // namespace quarnhold::tests
