// quarnhold_bench.cpp
//
// How fast the two ways of running the driver are, and what a run costs in
// guest instructions, stack and host memory. Figures go in the README.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/driver_image_run.h"
#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/kernel_traps.h"
#include "emulator/pe_image.h"
#include "fault_sweep/fault_sweep.h"
#include "isolation/isolated_image_runner.h"
#include "isolation/isolated_sweep.h"
#include "testbed/debug_print_format.h"
#include "testbed/kernel_model.h"
#include "testbed/memory_volume.h"
#include "tests/support/disk_state.h"
#include "tests/support/run_outcome.h"

namespace {

using namespace quarnhold;

// A drive C holding what a first run leaves, so that every iteration does
// the same work: the "second start" of the driver. Held in memory, laid
// down afresh for each run as the fault sweep lays it, or on a scratch
// folder, as quarnhold-run runs once.
class SecondStartDrive {
public:
    explicit SecondStartDrive(bool onFolder)
    {
        if (onFolder) tests::LayDown(folder_.emplace().path(), Items);
    }
    testbed::DriveC Drive() const
    {
        if (folder_) return {folder_->path(), false};
        testbed::DriveC drive{std::nullopt, false};
        drive.volume = std::make_shared<testbed::MemoryVolume>(Items);
        return drive;
    }

private:
    inline static const std::vector<testbed::DiskItem> Items = {tests::Directory("Quarnhold"),
                                                                tests::File("Quarnhold/test.txt", "")};
    std::optional<tests::ScratchFolder> folder_;
};

void SetMemoryCounter(benchmark::State& state)
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["max_rss_kb"] = static_cast<double>(usage.ru_maxrss);
}

// The driver's sources compiled for the host, over the model.
void HostLinkedRun(benchmark::State& state)
{
    SecondStartDrive drive(state.range(0) != 0);
    for (auto _ : state) {
        testbed::KernelModel model(drive.Drive());
        tests::RunOutcome outcome = tests::RunHostLinked(model);
        benchmark::DoNotOptimize(outcome.status);
    }
    SetMemoryCounter(state);
}
BENCHMARK(HostLinkedRun)->ArgName("folder")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The built image on the emulated CPU: read, check, map, run.
void EmulatedRun(benchmark::State& state)
{
    SecondStartDrive drive(true);
    emulator::ImageRunResult last;
    for (auto _ : state) {
        testbed::KernelModel model(drive.Drive());
        last = emulator::RunDriverImage(emulator::ReadPeImage(tests::BuiltImage()), model);
        benchmark::DoNotOptimize(last.status);
    }
    state.counters["guest_instructions"] = static_cast<double>(last.stats.instructions);
    state.counters["peak_stack_bytes"] = static_cast<double>(last.stats.peakStackBytes);
    SetMemoryCounter(state);
}
BENCHMARK(EmulatedRun)->Unit(benchmark::kMicrosecond);

// A run of an image already loaded: what each run of a fault sweep costs,
// the run rules aside; with folder:1, on a scratch folder.
void EmulatedRunLoaded(benchmark::State& state)
{
    SecondStartDrive drive(state.range(0) != 0);
    emulator::DriverImageRunner runner(emulator::ReadPeImage(tests::BuiltImage()));
    for (auto _ : state) {
        testbed::KernelModel model(drive.Drive());
        emulator::ImageRunResult result = runner.Run(model);
        benchmark::DoNotOptimize(result.status);
    }
    SetMemoryCounter(state);
}
BENCHMARK(EmulatedRunLoaded)->ArgName("folder")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The loader's share of an emulated run: parse and check the image, then
// lay it out at a new base with relocations applied.
void LoadImage(benchmark::State& state)
{
    const std::filesystem::path path = tests::BuiltImage();
    for (auto _ : state) {
        emulator::PeImage image = emulator::ReadPeImage(path);
        emulator::CheckKernelImage(image, emulator::KnownKernelImports);
        emulator::MappedImage mapped =
            emulator::MapImage(image, 0x80A00000, [](std::string_view, std::string_view) { return 0x80010000u; });
        benchmark::DoNotOptimize(mapped.memory.data());
    }
}
BENCHMARK(LoadImage)->Unit(benchmark::kMicrosecond);

// The fault sweep's pace from one starting disk: each run lays the disk
// down, runs the driver, reads the disk back and checks the run rules. One
// fault per run, or with pairs:1 also every pair; drive C in memory, as
// quarnhold-run --sweep holds it, or with folder:1 a scratch folder.
using SweepFunction = std::function<fault_sweep::SweepSummary(const std::vector<fault_sweep::StartingDisk>&,
                                                              const fault_sweep::SweepOptions&)>;

void SweepRuns(benchmark::State& state, const SweepFunction& sweep)
{
    fault_sweep::SweepOptions options;
    options.pairs = state.range(0) != 0;
    std::optional<testbed::ScratchFolder> folder;
    if (state.range(1) != 0) options.driveC = folder.emplace().path();
    const std::vector<fault_sweep::StartingDisk> disks{fault_sweep::FindStartingDisk("clean_drive_c")};
    uint64_t runs = 0;
    for (auto _ : state) {
        runs += sweep(disks, options).runs;
    }
    state.counters["runs"] = static_cast<double>(runs / state.iterations());
    state.counters["runs_per_second"] = benchmark::Counter(static_cast<double>(runs), benchmark::Counter::kIsRate);
    SetMemoryCounter(state);
}

SweepFunction InProcessSweep(fault_sweep::DriverRunner run)
{
    return [run = std::move(run)](const auto& disks, const auto& options) {
        return fault_sweep::RunSweep(run, disks, options);
    };
}

void SweepHostLinked(benchmark::State& state)
{
    SweepRuns(state, InProcessSweep(fault_sweep::InProcess(
                         [](testbed::KernelModel& model) { return tests::RunHostLinked(model); })));
}
BENCHMARK(SweepHostLinked)->ArgNames({"pairs", "folder"})->Args({0, 0})->Args({0, 1})->Unit(benchmark::kMillisecond);

void SweepEmulated(benchmark::State& state)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(tests::BuiltImage()));
    SweepRuns(state, InProcessSweep(fault_sweep::InProcess(
                         [&](testbed::KernelModel& model) { return fault_sweep::RunEmulated(model, image); })));
}
BENCHMARK(SweepEmulated)->ArgNames({"pairs", "folder"})->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

// The same, with each run made in a worker process of its own: what
// quarnhold-run --sweep falls back to when an image kills its worker, on a
// folder, since a drive C in memory would stay in each run's worker.
// Timed by the clock on the wall, since the runs' CPU time is spent in the
// worker, where this process does not count it; so compare its Time, not
// its rate, with SweepEmulated's.
void SweepEmulatedInWorker(benchmark::State& state)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(tests::BuiltImage()));
    isolation::IsolatedImageRunner isolated(image);
    SweepRuns(state, InProcessSweep(isolated.AsDriverRunner()));
}
BENCHMARK(SweepEmulatedInWorker)
    ->ArgNames({"pairs", "folder"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same sweep made in one worker process for all its runs, as
// quarnhold-run --sweep makes it: one round trip and one new worker (whose
// CPU has translated nothing yet) for the sweep, not a round trip a run.
void SweepEmulatedInOneWorker(benchmark::State& state)
{
    emulator::DriverImageRunner image(emulator::ReadPeImage(tests::BuiltImage()));
    SweepRuns(state, [&](const auto& disks, const auto& options) {
        return isolation::RunIsolatedSweep(image, disks, options);
    });
}
BENCHMARK(SweepEmulatedInOneWorker)
    ->ArgNames({"pairs", "folder"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One DbgPrint of the longest message, with its path argument.
void FormatDebugMessage(benchmark::State& state)
{
    struct PathArgument final : testbed::FormatArguments {
        uint32_t NextInt32() override { return 0; }
        uint64_t NextInt64() override { return 0; }
        uint64_t NextPointer() override { return 1; }
        int PointerDigits() const override { return 8; }
        std::optional<std::string> ReadString(uint64_t) override { return std::nullopt; }
        std::optional<std::u16string> ReadWideString(uint64_t) override
        {
            return std::u16string(u"\\??\\c:\\Quarnhold\\test.txt");
        }
        std::optional<std::u16string> ReadCountedWideString(uint64_t) override { return std::nullopt; }
    };
    for (auto _ : state) {
        PathArgument argument;
        testbed::FormattedMessage message =
            testbed::FormatDebugMessage("\xB4\xB4\xBD\xA8\xCE\xC4\xBC\xFE %ws ", argument);
        benchmark::DoNotOptimize(message.bytes.data());
    }
}
BENCHMARK(FormatDebugMessage);

}  // namespace

BENCHMARK_MAIN();
