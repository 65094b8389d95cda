// driver_image_run.cpp

#include "emulator/driver_image_run.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>

#include "emulator/guest_cpu.h"
#include "emulator/guest_layout.h"
#include "emulator/hex_text.h"
#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/kernel_traps.h"
#include "testbed/test_bed_error.h"

namespace quarnhold::emulator {
namespace {

// The loader's DRIVER_OBJECT, filled with a pattern, and the service's
// registry path, as `machine` lays a UNICODE_STRING out.
std::vector<uint8_t> LoaderDataPage(const GuestMachine& machine)
{
    const GuestLayout& layout = machine.Layout();
    const RecordLayout& records = machine.Records();
    std::vector<uint8_t> page(0x1000, 0);
    for (uint32_t i = 0; i < layout.driverObjectSize; ++i) {
        page[i] = static_cast<uint8_t>(0xA5 ^ i);
    }
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quarnhold";
    const uint32_t length = static_cast<uint32_t>(path.size() * 2);
    const uint32_t lengths = length | (length + 2) << 16;
    const uint64_t registry = layout.registryPath - layout.loaderData;
    for (uint32_t i = 0; i < 4; ++i) {
        page[registry + i] = static_cast<uint8_t>(lengths >> (8 * i));
    }
    for (uint32_t i = 0; i < records.pointerBytes; ++i) {
        page[registry + records.unicodeStringBuffer + i] = static_cast<uint8_t>(layout.registryPathBuffer >> (8 * i));
    }
    const uint64_t buffer = layout.registryPathBuffer - layout.loaderData;
    for (size_t i = 0; i < path.size(); ++i) {
        page[buffer + 2 * i] = static_cast<uint8_t>(path[i]);
        page[buffer + 2 * i + 1] = static_cast<uint8_t>(path[i] >> 8);
    }
    return page;
}

std::string DescribeLoaderDataAccess(const GuestMachine& machine, Access access, uint64_t address, uint32_t size,
                                     uint64_t instruction)
{
    const GuestLayout& layout = machine.Layout();
    std::string what = access == Access::Write ? "write to " : "read of ";
    if (address < layout.driverObject + layout.driverObjectSize) {
        what += "DRIVER_OBJECT+" + Hex(address - layout.driverObject, 8);
    } else {
        what += "the registry path at " + HexAddress(address);
    }
    return what + " (" + std::to_string(size) + " bytes) at " + std::string(machine.InstructionPointerName()) + " " +
           HexAddress(instruction);
}

std::string DescribeViolation(const GuestMachine& machine, const AccessViolation& violation, uint64_t instruction,
                              const KernelTraps& traps)
{
    const GuestLayout& layout = machine.Layout();
    const std::string at = " at " + std::string(machine.InstructionPointerName()) + " " + HexAddress(instruction);
    if (violation.access != Access::Fetch && violation.address < layout.stackLimit &&
        violation.address >= layout.stackLimit - layout.stackGuardBytes) {
        return "stack overflow: " + std::string(violation.access == Access::Write ? "write" : "read") + " at " +
               HexAddress(violation.address) + ", below the kernel stack," + at;
    }
    // An address the kernel left behind says where it came from.
    const std::string origin = traps.Explain(violation.address);
    const std::string because = origin.empty() ? "" : "; " + HexAddress(violation.address) + " is " + origin;
    if (violation.access == Access::Fetch) {
        return "execution reached " + HexAddress(violation.address) +
               (violation.unmapped ? ", where nothing is mapped" : ", which is not executable") +
               " (a return to the wrong place, or a jump through a bad pointer)" + because;
    }
    return std::string(violation.access == Access::Write ? "write to " : "read of ") +
           (violation.unmapped ? "unmapped address " : "protected address ") + HexAddress(violation.address) + at +
           because;
}

// The machine `image` is for, checked as a kernel loader checks it.
// Throws ImageError when it cannot be loaded.
const GuestMachine& CheckedMachine(const PeImage& image)
{
    CheckKernelImage(image, KnownKernelImports);
    const GuestMachine* machine = MachineFor(image.machine);
    if (machine == nullptr) {
        // The checks refuse any other machine first.
        throw ImageError("machine " + Hex(image.machine, 4) + " has no emulated CPU");
    }
    return *machine;
}

// The offset of the first byte of `stack` that no longer holds the fill,
// or its size. Compares eight bytes at a time: most of the stack is fill.
uint32_t FirstWritten(std::span<const uint8_t> stack)
{
    constexpr uint64_t Fill = 0x0101010101010101ull * StackFill;
    size_t at = 0;
    for (uint64_t word; at + sizeof word <= stack.size(); at += sizeof word) {
        std::memcpy(&word, stack.data() + at, sizeof word);
        if (word != Fill) break;
    }
    while (at < stack.size() && stack[at] == StackFill) ++at;
    return static_cast<uint32_t>(at);
}

}  // namespace

// What stays loaded between runs: the CPU with the image, trap page, stack
// and loader data mapped, the hooks, and the bytes each run starts from.
struct DriverImageRunner::Loaded {
    explicit Loaded(const GuestMachine& m) : machine(m), cpu(m.CpuMode()), traps(cpu, m) {}

    const GuestMachine& machine;
    GuestCpu cpu;
    KernelTraps traps;
    RunLimits limits;
    uint64_t imageBase = 0;
    uint64_t entryPoint = 0;
    std::vector<MappedRegion> regions;                                     // the image's, as mapped
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writableImage;  // address, bytes as loaded
    uint64_t stackLimit = 0;
    uint64_t stackBase = 0;
    uint64_t entryStack = 0;  // the stack pointer at DriverEntry's first instruction
    // The CPU as every run finds it: the registers DriverEntry is called
    // with, and the rest of the CPU's state as it was after the load.
    GuestCpu::Snapshot atEntry;
    std::vector<uint8_t> loaderData = LoaderDataPage(machine);

    GuestTrail* trail = nullptr;  // kept up to date when asked for

    // The run in progress, as the hooks see it.
    ImageRunResult* result = nullptr;
    testbed::KernelModel* model = nullptr;
    InstructionTally tally;
    uint64_t executed = 0;     // where the tally counts when no trail is kept
    uint64_t lastAddress = 0;
    uint64_t lowestStack = 0;  // at the kernel calls
    uint64_t dirtyStack = 0;   // the lowest stack address the last run wrote
    std::vector<uint8_t> stack;  // read back after each run
    bool driverObjectAccessed = false;
    bool registryPathAccessed = false;
};

DriverImageRunner::DriverImageRunner(const PeImage& image, const RunLimits& limits)
    : loaded_(std::make_unique<Loaded>(CheckedMachine(image)))
{
    Loaded& l = *loaded_;
    const GuestLayout& layout = l.machine.Layout();
    l.limits = limits;
    l.imageBase = image.imageBase == layout.imageBase ? layout.alternateImageBase : layout.imageBase;
    MappedImage mapped = MapImage(image, l.imageBase, [&](std::string_view library, std::string_view name) {
        return l.traps.Resolve(library, name);
    });
    l.entryPoint = mapped.entryPoint;
    l.regions = mapped.regions;
    l.traps.CallersIn(l.imageBase, image.sizeOfImage);
    for (const MappedRegion& region : mapped.regions) {
        std::span<const uint8_t> bytes = std::span(mapped.memory).subspan(region.rva, region.size);
        l.cpu.Map(mapped.base + region.rva, region.size, {region.read, region.write, region.execute}, bytes);
        // Only what the guest can write needs putting back between runs;
        // rewriting code would also throw away the CPU's translations.
        if (region.write) {
            l.writableImage.emplace_back(mapped.base + region.rva, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    }
    l.cpu.Map(layout.trapPage, 0x1000, {true, false, true}, l.traps.PageBytes());
    l.machine.LoadKernelSegments(l.cpu);

    const uint32_t stackBytes = limits.stackBytes != 0 ? limits.stackBytes : layout.defaultStackBytes;
    l.stackLimit = layout.stackLimit;
    l.stackBase = l.stackLimit + ((uint64_t{stackBytes} + 0xFFF) & ~uint64_t{0xFFF});
    l.cpu.Map(l.stackLimit, static_cast<uint32_t>(l.stackBase - l.stackLimit), {true, true, false});
    l.stack.resize(l.stackBase - l.stackLimit);
    l.dirtyStack = l.stackLimit;  // all of it, before the first run
    l.cpu.Map(layout.loaderData, 0x1000, {true, true, false}, l.loaderData);
    l.entryStack = l.machine.EntryStack(l.stackBase);
    l.machine.SetEntryRegisters(l.cpu, l.entryStack, layout.driverObject, layout.registryPath);
    // A run may change anything the CPU holds (xmm0, the x87 control word,
    // CR0, a segment register, the GDT's register), and the next must not
    // find it: each run starts from this.
    l.atEntry = l.cpu.TakeSnapshot();

    // Every instruction is counted, but only the trap page runs our code:
    // a hook over all code would cost each instruction a call.
    l.tally.budget = limits.instructionBudget;
    l.tally.executed = &l.executed;
    l.tally.lastAddress = &l.lastAddress;
    l.cpu.Tally(l.tally);
    l.cpu.OnCode(layout.trapPage, layout.trapPage + 0xFFF, [&l](uint64_t address) {
        ImageRunResult& result = *l.result;
        if (result.fault || l.tally.exhausted || address == l.machine.Layout().returnToLoader) return;
        // The deepest the stack goes is mostly at a call into the kernel,
        // with the return address on top; the fill pattern shows the rest.
        // A stack pointer the driver moved off the kernel stack says nothing
        // of its depth, and the next run refills the stack down to here.
        const uint64_t stackPointer = l.machine.StackPointer(l.cpu);
        if (stackPointer >= l.stackLimit) l.lowestStack = std::min(l.lowestStack, stackPointer);
        // Nothing may unwind into the CPU's C code: a failure of the test
        // bed's own host work stops the CPU here instead.
        try {
            std::optional<std::string> failed = l.traps.Dispatch(address);
            if (l.trail != nullptr) l.trail->SetLastKernelCall(l.traps.LastCall(), l.traps.LastReturnAddress());
            if (failed) {
                result.fault = GuestFault{*failed, address, l.traps.LastCall()};
                l.cpu.Stop();
            }
        } catch (const testbed::TestBedError& failure) {
            result.testBedError = std::string(failure.what()) + ", in " + l.model->CallInProgress();
            l.cpu.Stop();
        } catch (const std::exception& failure) {
            result.testBedError =
                "test-bed error: " + std::string(failure.what()) + ", in " + l.model->CallInProgress();
            l.cpu.Stop();
        }
    });
    l.cpu.OnMemory(layout.loaderData, layout.loaderData + 0xFFF, [&l](Access access, uint64_t address, uint32_t size) {
        const GuestLayout& at = l.machine.Layout();
        bool driverObject = address < at.driverObject + at.driverObjectSize;
        l.driverObjectAccessed = l.driverObjectAccessed || driverObject;
        l.registryPathAccessed = l.registryPathAccessed || !driverObject;
        l.result->loaderDataAccesses.push_back(
            DescribeLoaderDataAccess(l.machine, access, address, size, l.machine.InstructionPointer(l.cpu)));
    });
}

DriverImageRunner::~DriverImageRunner() = default;

void DriverImageRunner::ReplaceImage(const PeImage& image)
{
    Loaded& l = *loaded_;
    if (&CheckedMachine(image) != &l.machine) {
        throw ImageError("the image is for " + std::string(MachineFor(image.machine)->Name()) +
                         ", the one loaded for " + std::string(l.machine.Name()));
    }
    MappedImage mapped = MapImage(image, l.imageBase, [&](std::string_view library, std::string_view name) {
        return l.traps.Resolve(library, name);
    });
    const auto sameLayout = [](const MappedRegion& a, const MappedRegion& b) {
        return a.rva == b.rva && a.size == b.size && a.read == b.read && a.write == b.write && a.execute == b.execute;
    };
    if (!std::equal(mapped.regions.begin(), mapped.regions.end(), l.regions.begin(), l.regions.end(), sameLayout)) {
        throw ImageError("the image does not lay out as the one loaded");
    }
    l.entryPoint = mapped.entryPoint;
    l.writableImage.clear();
    for (const MappedRegion& region : mapped.regions) {
        std::span<const uint8_t> bytes = std::span(mapped.memory).subspan(region.rva, region.size);
        l.cpu.Load(mapped.base + region.rva, bytes);
        if (region.execute) l.cpu.DropTranslations(mapped.base + region.rva, region.size);
        if (region.write) {
            l.writableImage.emplace_back(mapped.base + region.rva, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    }
}

void DriverImageRunner::KeepTrail(GuestTrail& trail)
{
    // The tally counts straight into the trail, which another process may
    // be reading when this one dies.
    loaded_->trail = &trail;
    loaded_->tally.executed = &trail.instructions;
    loaded_->tally.lastAddress = &trail.lastAddress;
}

uint64_t DriverImageRunner::EntryPoint() const
{
    return loaded_->entryPoint;
}

uint64_t DriverImageRunner::ImageBase() const
{
    return loaded_->imageBase;
}

const GuestMachine& DriverImageRunner::Machine() const
{
    return loaded_->machine;
}

ImageRunResult DriverImageRunner::Run(testbed::KernelModel& model)
{
    Loaded& l = *loaded_;
    GuestCpu& cpu = l.cpu;
    const GuestMachine& machine = l.machine;
    const GuestLayout& layout = machine.Layout();
    ImageRunResult result;
    result.imageBase = l.imageBase;
    l.result = &result;
    l.model = &model;
    l.driverObjectAccessed = false;
    l.registryPathAccessed = false;
    l.traps.BeginRun(model);
    l.executed = 0;
    l.lastAddress = l.entryPoint;
    l.tally.exhausted = false;
    if (l.trail != nullptr) {
        *l.trail = GuestTrail{};
        l.trail->lastAddress = l.entryPoint;
    }

    // The same start every time: the CPU as it was before the first run,
    // the image's data as loaded, a stack filled with a pattern and the call
    // frame on top, the loader's data. A local read before anything set it
    // shows the pattern, not a lucky zero.
    cpu.Restore(l.atEntry);
    for (const auto& [address, bytes] : l.writableImage) {
        cpu.Write(address, bytes);
    }
    // Below what the last run wrote, the stack still holds the pattern.
    std::fill(l.stack.begin() + (l.dirtyStack - l.stackLimit), l.stack.end(), StackFill);
    cpu.Write(l.dirtyStack, std::span(l.stack).subspan(l.dirtyStack - l.stackLimit));
    cpu.Write(layout.loaderData, l.loaderData);
    machine.WriteEntryFrame(cpu, l.entryStack, layout.returnToLoader, layout.driverObject, layout.registryPath);
    l.lowestStack = l.entryStack;

    auto started = std::chrono::steady_clock::now();
    StopReason stop = cpu.Run(l.entryPoint, layout.returnToLoader);
    result.stats.elapsed = std::chrono::steady_clock::now() - started;
    result.stats.instructions = *l.tally.executed;
    l.result = nullptr;
    l.model = nullptr;

    // The deepest the run went: the lowest byte no longer holding the fill,
    // or the lowest stack pointer at a kernel call when that is lower (a
    // pushed value may end in a byte that equals the fill). The call frame
    // is the loader's.
    cpu.Read(l.stackLimit, l.stack);
    const uint64_t lowestWritten = std::min(l.stackLimit + FirstWritten(l.stack), l.lowestStack);
    l.dirtyStack = lowestWritten & ~uint64_t{7};
    result.stats.peakStackBytes = static_cast<uint32_t>(l.entryStack - std::min(lowestWritten, l.entryStack));
    result.stats.stackBytes = static_cast<uint32_t>(l.stackBase - l.stackLimit);

    const uint64_t instruction = machine.InstructionPointer(cpu);
    if (l.tally.exhausted && !result.fault && !result.testBedError) {
        result.fault = GuestFault{"instruction budget of " + std::to_string(l.limits.instructionBudget) + " exceeded",
                                  *l.tally.lastAddress, l.traps.LastCall()};
    }
    if (!result.fault && !result.testBedError) {
        if (stop.violation) {
            const bool fetch = stop.violation->access == Access::Fetch;
            result.fault = GuestFault{DescribeViolation(machine, *stop.violation, instruction, l.traps),
                                      fetch ? stop.violation->address : instruction, l.traps.LastCall()};
            // The fetch never ran, so the last instruction counted is the
            // jump, call or return that went there.
            if (fetch) result.fault->cameFrom = *l.tally.lastAddress;
        } else if (!stop.reachedEnd) {
            result.fault = GuestFault{"the CPU stopped: " + (stop.error.empty() ? "for no reason given" : stop.error),
                                      instruction, l.traps.LastCall()};
        }
    }
    if (!result.fault && !result.testBedError) {
        const ValueExplainer explain = [&l](uint64_t value) {
            const std::string origin = l.traps.Explain(value);
            return origin.empty() ? origin : HexAddress(value) + ", " + origin;
        };
        if (std::optional<std::string> wrong = machine.CheckReturn(cpu, l.entryStack, explain)) {
            result.fault = GuestFault{*wrong, instruction, l.traps.LastCall()};
        }
    }
    if (result.fault) result.fault->lastCallReturnAddress = l.traps.LastReturnAddress();
    result.status = machine.ReturnedStatus(cpu);

    std::vector<uint8_t> after(l.loaderData.size());
    cpu.Read(layout.loaderData, after);
    const uint64_t registry = layout.registryPath - layout.loaderData;
    const auto& before = l.loaderData;
    result.driverObjectUntouched =
        std::equal(after.begin(), after.begin() + layout.driverObjectSize, before.begin()) && !l.driverObjectAccessed;
    result.registryPathUntouched =
        std::equal(after.begin() + registry, after.end(), before.begin() + registry) && !l.registryPathAccessed;
    return result;
}

std::string DescribeGuestFault(const GuestFault& fault)
{
    return fault.what + " (at " + HexAddress(fault.address) +
           "); last kernel call: " + (fault.lastKernelCall.empty() ? "none" : fault.lastKernelCall);
}

ImageRunResult RunDriverImage(const PeImage& image, testbed::KernelModel& model, const RunLimits& limits)
{
    return DriverImageRunner(image, limits).Run(model);
}

}  // namespace quarnhold::emulator
