// exit_status.h
//
// How quarnhold-run ends: its exit statuses, and the one line on standard
// error that gives the reason for any status but 0. With --json, a run that
// could not be made also leaves a JSON error object on standard output, so
// that a program reading it always gets a record.

#pragma once

#include <string>
#include <string_view>

namespace quarnhold::tools {

constexpr int ExitCompleted = 0;
constexpr int ExitRunFailed = 1;
constexpr int ExitBadArguments = 2;

// What kept a run from being made, as the JSON error object names it.
namespace refusal {
inline constexpr std::string_view BadArguments = "bad-arguments";   // exit status 2
inline constexpr std::string_view CannotLoad = "cannot-load";       // the image cannot be read or loaded
inline constexpr std::string_view TestBedError = "test-bed-error";  // the host failed the test bed
inline constexpr std::string_view RunFailed = "run-failed";         // anything else with exit status 1
}  // namespace refusal

// A run refused before it started, or failed: the exit status and the
// one-line reason, and what kind of refusal it is (by the exit status when
// not given).
struct Refusal {
    int exitCode;
    std::string reason;
    std::string_view kind = {};
};

// Writes "quarnhold-run: <reason>" to standard error, with a pointer to
// --help for bad arguments, and returns `code`. Called wherever a run is
// refused or has failed. While JSON errors are on, also writes the JSON
// error object to standard output.
int Refuse(int code, const std::string& reason, std::string_view kind = {});
inline int Refuse(const Refusal& refusal)
{
    return Refuse(refusal.exitCode, refusal.reason, refusal.kind);
}

// Turned on when --json is asked for, and off once the run's own record is
// on its way to standard output: from then on a failure is the record's to
// tell, and a second JSON document would spoil the first.
void SetJsonErrors(bool on);

}  // namespace quarnhold::tools
