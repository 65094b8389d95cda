// exit_status.h
//
// How quarnhold-run ends: its exit statuses, and the one line on standard
// error that gives the reason for any status but 0.

#pragma once

#include <string>

namespace quarnhold::tools {

constexpr int ExitCompleted = 0;
constexpr int ExitRunFailed = 1;
constexpr int ExitBadArguments = 2;

// A run refused before it started, or failed: the exit status and the
// one-line reason.
struct Refusal {
    int exitCode;
    std::string reason;
};

// Writes "quarnhold-run: <reason>" to standard error, with a pointer to
// --help for bad arguments, and returns `code`. Called wherever a run is
// refused or has failed.
int Refuse(int code, const std::string& reason);
inline int Refuse(const Refusal& refusal)
{
    return Refuse(refusal.exitCode, refusal.reason);
}

}  // namespace quarnhold::tools
