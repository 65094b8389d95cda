// standard_output.h
//
// What quarnhold-run writes to standard output goes through here, and is
// checked: a report that cannot be written (a full disk, /dev/full, a
// closed stream, a pipe whose reader has gone) fails the run instead of
// vanishing.

#pragma once

#include <optional>
#include <string_view>

#include "tools/exit_status.h"

namespace quarnhold::tools {

// Notes which of the three standard streams came closed, and opens
// /dev/null on each, so that no file the run opens can take its number and
// receive the report. Called first thing in main.
void GuardStandardStreams();

// Writes all of `text` to standard output (fd 1) or standard error (fd 2);
// nothing, or why it could not, with exit status 1.
std::optional<Refusal> Emit(int fd, std::string_view text);

}  // namespace quarnhold::tools
