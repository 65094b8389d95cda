// run_wire.h
//
// A run's setup and outcome, and a whole sweep's summary, as bytes, for the
// trip to and from the worker process that runs the image. Both ends are the same program, so the
// encoding is plain native-endian fields; the reader still checks every
// length against what is left, so a garbled answer is an error, not a crash.

#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "fault_sweep/driver_run.h"
#include "fault_sweep/fault_sweep.h"

namespace quarnhold::isolation {

// Bytes that do not decode as what was asked for.
class WireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string EncodeRunSetup(const fault_sweep::RunSetup& setup);
fault_sweep::RunSetup DecodeRunSetup(std::string_view bytes);

std::string EncodeRunOutcome(const fault_sweep::RunOutcome& outcome);
fault_sweep::RunOutcome DecodeRunOutcome(std::string_view bytes);

std::string EncodeSweepSummary(const fault_sweep::SweepSummary& summary);
fault_sweep::SweepSummary DecodeSweepSummary(std::string_view bytes);

}  // namespace quarnhold::isolation
