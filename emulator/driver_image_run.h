// driver_image_run.h
//
// Loads a driver image as the NT loader would and calls its DriverEntry on
// the emulated CPU of the image's machine (i386 or amd64), with the kernel
// routines answered by a KernelModel.

#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/guest_machine.h"
#include "emulator/guest_trail.h"
#include "emulator/pe_image.h"
#include "testbed/kernel_model.h"

namespace quarnhold::emulator {

struct RunLimits {
    uint64_t instructionBudget = 1'000'000;
    uint32_t stackBytes = 0;  // 0: the machine's kernel stack, 12 KB on i386 and 24 KB on amd64
};

// What stopped a run before DriverEntry returned properly.
struct GuestFault {
    GuestFault() = default;
    GuestFault(std::string what, uint64_t address, std::string lastKernelCall)
        : what(std::move(what)), address(address), lastKernelCall(std::move(lastKernelCall))
    {
    }

    std::string what;            // one line: what happened
    uint64_t address = 0;        // the guest address it happened at (EIP/RIP, or the data address)
    std::string lastKernelCall;  // empty before the first call
    // The last kernel call's return address: where in the driver it was
    // made. Nothing before the first call.
    std::optional<uint64_t> lastCallReturnAddress;
    // When execution went where it must not (a jump through a bad pointer,
    // a return to the wrong place): the instruction that sent it there.
    std::optional<uint64_t> cameFrom;
};

// "<what> (at 0x...); last kernel call: ..." for a report's one line and the
// sweep's list of broken rules.
std::string DescribeGuestFault(const GuestFault& fault);

struct RunStats {
    uint64_t instructions = 0;
    uint32_t peakStackBytes = 0;
    uint32_t stackBytes = 0;  // the kernel stack the run had
    std::chrono::nanoseconds elapsed{0};
};

struct ImageRunResult {
    uint64_t imageBase = 0;  // where the image was mapped
    uint32_t status = 0;     // DriverEntry's return value, when it returned
    std::optional<GuestFault> fault;
    // A host operation of the test bed failed during a kernel call, and the
    // CPU was stopped there: the run says nothing of the driver.
    std::optional<std::string> testBedError;
    // Every guest access to the DRIVER_OBJECT or the registry path.
    std::vector<std::string> loaderDataAccesses;
    bool driverObjectUntouched = false;
    bool registryPathUntouched = false;
    RunStats stats;
};

// A driver image loaded once onto the emulated CPU and run as often as
// wanted. Every run starts from the image as loaded, a fresh stack, fresh
// loader data and the same CPU state (every register, the FPU and SSE
// state, the control registers, the segment registers and descriptor
// tables' registers), so no run sees another's leftovers;
// the CPU keeps only its translations of the image's code, which is what
// makes a second run cheap.
class DriverImageRunner {
public:
    // Checks `image` as a kernel loader would, maps it away from its
    // preferred base and binds its imports to the trap page. Throws
    // ImageError when the image cannot be loaded.
    explicit DriverImageRunner(const PeImage& image, const RunLimits& limits = {});
    ~DriverImageRunner();
    DriverImageRunner(const DriverImageRunner&) = delete;
    DriverImageRunner& operator=(const DriverImageRunner&) = delete;

    // Calls DriverEntry(DriverObject, RegistryPath) with the machine's
    // convention on the kernel stack, the kernel's routines answered by
    // `model`. A guest fault is reported in the result.
    ImageRunResult Run(testbed::KernelModel& model);

    // Puts `image` in place of the loaded one on the same CPU, which is much
    // cheaper than a new runner: for running many images of one layout, as
    // a fuzzer does with new code in the real image. The CPU's translations
    // are dropped. Throws ImageError when `image` cannot be loaded, is for
    // another machine, or lays out in other regions than the loaded one.
    void ReplaceImage(const PeImage& image);

    // Keeps `trail` up to date during every later run: the last address
    // executed, the instruction count and the last kernel call. `trail` must
    // outlive the runner's runs; nothing is kept when it is never called.
    void KeepTrail(GuestTrail& trail);

    // The address DriverEntry is called at.
    uint64_t EntryPoint() const;
    // Where the image is mapped.
    uint64_t ImageBase() const;
    // The machine the image is for.
    const GuestMachine& Machine() const;

private:
    struct Loaded;
    std::unique_ptr<Loaded> loaded_;
};

// Loads `image` and runs it once over `model`; see DriverImageRunner.
ImageRunResult RunDriverImage(const PeImage& image, testbed::KernelModel& model, const RunLimits& limits = {});

}  // namespace quarnhold::emulator
