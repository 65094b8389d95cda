// sweep_run.h
//
// quarnhold-run --sweep: every fault of every kernel call from every
// starting disk, on the emulated image, each run checked against the rules
// of a sound run.

#pragma once

#include "tools/run_options.h"

namespace quarnhold::tools {

// Runs the sweep and writes its report; returns the exit status.
int SweepImage(const RunOptions& options);

}  // namespace quarnhold::tools
