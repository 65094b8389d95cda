// run_outcome.h
//
// What one run of the driver left behind, and the two ways of running it as
// the tests use them.

#pragma once

#include <filesystem>

#include "driver/driver_entry.h"
#include "fault_sweep/driver_run.h"

namespace quarnhold::tests {

using fault_sweep::CollectOutcome;
using fault_sweep::RunOutcome;

// A driver's entry point, built for the host.
using HostDriverEntry = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Calls the host build of DriverEntry (or `entry`, another driver's built
// for the host) over `model`, with a DRIVER_OBJECT and a registry path
// filled with a pattern that is checked afterwards.
RunOutcome RunHostLinked(testbed::KernelModel& model, HostDriverEntry entry = DriverEntry);

// Loads the built kernel image and runs its DriverEntry on the emulated CPU
// over `model`. Load errors throw emulator::ImageError.
RunOutcome RunEmulated(testbed::KernelModel& model, const std::filesystem::path& image);

// The images the build made: the i386 one and the amd64 one.
std::filesystem::path BuiltImage();
std::filesystem::path BuiltAmd64Image();

}  // namespace quarnhold::tests
