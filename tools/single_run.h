// single_run.h
//
// One run of the image as quarnhold-run makes it: drive C made or checked,
// the image loaded, DriverEntry called, and the report written.

#pragma once

#include "tools/run_options.h"

namespace quarnhold::tools {

// Runs the image once as `options` ask and writes the report; returns the
// exit status.
int RunImageOnce(const RunOptions& options);

}  // namespace quarnhold::tools
