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

// Callee-saved registers under stdcall, each given a value DriverEntry must
// hand back unchanged.
struct SavedRegister {
    int id;
    const char* name;
    uint32_t value;
};
constexpr std::array<SavedRegister, 4> CalleeSaved{{
    {UC_X86_REG_EBX, "EBX", 0x0B0B0B0B},
    {UC_X86_REG_ESI, "ESI", 0x05151515},
    {UC_X86_REG_EDI, "EDI", 0x0D1D1D1D},
    {UC_X86_REG_EBP, "EBP", 0x0BEBEBEB},
}};

// The loader's DRIVER_OBJECT, filled with a pattern, and the service's
// registry path.
std::vector<uint8_t> LoaderDataPage()
{
    std::vector<uint8_t> page(0x1000, 0);
    for (uint32_t i = 0; i < layout::DriverObjectSize; ++i) {
        page[i] = static_cast<uint8_t>(0xA5 ^ i);
    }
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quarnhold";
    const uint32_t length = static_cast<uint32_t>(path.size() * 2);
    const uint32_t lengths = length | (length + 2) << 16;
    const uint32_t registry = layout::RegistryPath - layout::LoaderData;
    for (int i = 0; i < 4; ++i) {
        page[registry + i] = static_cast<uint8_t>(lengths >> (8 * i));
        page[registry + 4 + i] = static_cast<uint8_t>(layout::RegistryPathBuffer >> (8 * i));
    }
    const uint32_t buffer = layout::RegistryPathBuffer - layout::LoaderData;
    for (size_t i = 0; i < path.size(); ++i) {
        page[buffer + 2 * i] = static_cast<uint8_t>(path[i]);
        page[buffer + 2 * i + 1] = static_cast<uint8_t>(path[i] >> 8);
    }
    return page;
}

std::string DescribeLoaderDataAccess(Access access, uint32_t address, uint32_t size, uint32_t eip)
{
    std::string what = access == Access::Write ? "write to " : "read of ";
    if (address < layout::DriverObject + layout::DriverObjectSize) {
        what += "DRIVER_OBJECT+" + Hex(address - layout::DriverObject, 8);
    } else {
        what += "the registry path at " + Hex(address, 8);
    }
    return what + " (" + std::to_string(size) + " bytes) at EIP " + Hex(eip, 8);
}

std::string DescribeViolation(const AccessViolation& violation, uint32_t eip, uint32_t stackLimit)
{
    if (violation.access != Access::Fetch && violation.address < stackLimit &&
        violation.address >= stackLimit - layout::StackGuardBytes) {
        return "stack overflow: " + std::string(violation.access == Access::Write ? "write" : "read") + " at " +
               Hex(violation.address, 8) + ", below the kernel stack, at EIP " + Hex(eip, 8);
    }
    if (violation.access == Access::Fetch) {
        return "execution reached " + Hex(violation.address, 8) +
               (violation.unmapped ? ", where nothing is mapped" : ", which is not executable") +
               " (a return to the wrong place, or a jump through a bad pointer)";
    }
    return std::string(violation.access == Access::Write ? "write to " : "read of ") +
           (violation.unmapped ? "unmapped address " : "protected address ") + Hex(violation.address, 8) + " at EIP " +
           Hex(eip, 8);
}

// The offset of the first byte of `stack` that no longer holds the fill,
// or its size. Compares eight bytes at a time: most of the stack is fill.
uint32_t FirstWritten(std::span<const uint8_t> stack)
{
    constexpr uint64_t Fill = 0x0101010101010101ull * layout::StackFill;
    size_t at = 0;
    for (uint64_t word; at + sizeof word <= stack.size(); at += sizeof word) {
        std::memcpy(&word, stack.data() + at, sizeof word);
        if (word != Fill) break;
    }
    while (at < stack.size() && stack[at] == layout::StackFill) ++at;
    return static_cast<uint32_t>(at);
}

}  // namespace

// What stays loaded between runs: the CPU with the image, trap page, stack
// and loader data mapped, the hooks, and the bytes each run starts from.
struct DriverImageRunner::Loaded {
    GuestCpu cpu;
    KernelTraps traps{cpu, layout::TrapPage};
    RunLimits limits;
    uint32_t imageBase = 0;
    uint32_t entryPoint = 0;
    std::vector<MappedRegion> regions;                                     // the image's, as mapped
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> writableImage;  // address, bytes as loaded
    uint32_t stackBase = 0;
    uint32_t entryEsp = 0;
    uint32_t initialFlags = 0;
    std::vector<uint8_t> loaderData = LoaderDataPage();

    GuestTrail* trail = nullptr;  // kept up to date when asked for

    // The run in progress, as the hooks see it.
    ImageRunResult* result = nullptr;
    testbed::KernelModel* model = nullptr;
    InstructionTally tally;
    uint64_t executed = 0;  // where the tally counts when no trail is kept
    uint32_t lastAddress = 0;
    uint32_t lowestEsp = 0;      // at the kernel calls
    uint32_t dirtyStack = 0;     // the lowest stack address the last run wrote
    std::vector<uint8_t> stack;  // read back after each run
    bool driverObjectAccessed = false;
    bool registryPathAccessed = false;
};

DriverImageRunner::DriverImageRunner(const PeImage& image, const RunLimits& limits)
    : loaded_(std::make_unique<Loaded>())
{
    CheckKernelImage(image, KnownKernelImports);
    Loaded& l = *loaded_;
    l.limits = limits;
    l.imageBase = image.imageBase == layout::ImageBase ? layout::AlternateImageBase : layout::ImageBase;
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
    l.cpu.Map(layout::TrapPage, 0x1000, {true, false, true}, l.traps.PageBytes());

    const uint32_t stackLimit = layout::StackLimit;
    l.stackBase = stackLimit + ((limits.stackBytes + 0xFFF) & ~0xFFFu);
    l.cpu.Map(stackLimit, l.stackBase - stackLimit, {true, true, false});
    l.stack.resize(l.stackBase - stackLimit);
    l.dirtyStack = stackLimit;  // all of it, before the first run
    l.cpu.Map(layout::LoaderData, 0x1000, {true, true, false}, l.loaderData);
    // The call frame: return address, DriverObject, RegistryPath.
    l.entryEsp = l.stackBase - 12;
    l.initialFlags = l.cpu.Register(UC_X86_REG_EFLAGS);

    // Every instruction is counted, but only the trap page runs our code:
    // a hook over all code would cost each instruction a call.
    l.tally.budget = limits.instructionBudget;
    l.tally.executed = &l.executed;
    l.tally.lastAddress = &l.lastAddress;
    l.cpu.Tally(l.tally);
    l.cpu.OnCode(layout::TrapPage, layout::TrapPage + 0xFFF, [&l](uint32_t address) {
        ImageRunResult& result = *l.result;
        if (result.fault || l.tally.exhausted || address == layout::ReturnToLoader) return;
        // The deepest the stack goes is mostly at a call into the kernel,
        // with the return address on top; the fill pattern shows the rest.
        l.lowestEsp = std::min(l.lowestEsp, l.cpu.Register(UC_X86_REG_ESP));
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
    l.cpu.OnMemory(layout::LoaderData, layout::LoaderData + 0xFFF,
                   [&l](Access access, uint32_t address, uint32_t size) {
                       bool driverObject = address < layout::DriverObject + layout::DriverObjectSize;
                       l.driverObjectAccessed = l.driverObjectAccessed || driverObject;
                       l.registryPathAccessed = l.registryPathAccessed || !driverObject;
                       l.result->loaderDataAccesses.push_back(
                           DescribeLoaderDataAccess(access, address, size, l.cpu.Register(UC_X86_REG_EIP)));
                   });
}

DriverImageRunner::~DriverImageRunner() = default;

void DriverImageRunner::ReplaceImage(const PeImage& image)
{
    CheckKernelImage(image, KnownKernelImports);
    Loaded& l = *loaded_;
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

uint32_t DriverImageRunner::EntryPoint() const
{
    return loaded_->entryPoint;
}

uint32_t DriverImageRunner::ImageBase() const
{
    return loaded_->imageBase;
}

ImageRunResult DriverImageRunner::Run(testbed::KernelModel& model)
{
    Loaded& l = *loaded_;
    GuestCpu& cpu = l.cpu;
    ImageRunResult result;
    result.imageBase = l.imageBase;
    l.result = &result;
    l.model = &model;
    l.lowestEsp = l.entryEsp;
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

    // The same start every time: the image's data as loaded, a stack filled
    // with a pattern and the call frame on top, the loader's data, fixed
    // registers. A local read before anything set it shows the pattern, not
    // a lucky zero.
    for (const auto& [address, bytes] : l.writableImage) {
        cpu.Write(address, bytes);
    }
    const uint32_t stackLimit = layout::StackLimit;
    // Below what the last run wrote, the stack still holds the pattern.
    std::fill(l.stack.begin() + (l.dirtyStack - stackLimit), l.stack.end(), layout::StackFill);
    cpu.Write(l.dirtyStack, std::span(l.stack).subspan(l.dirtyStack - stackLimit));
    cpu.Write(layout::LoaderData, l.loaderData);
    cpu.WriteU32(l.entryEsp, layout::ReturnToLoader);
    cpu.WriteU32(l.entryEsp + 4, layout::DriverObject);
    cpu.WriteU32(l.entryEsp + 8, layout::RegistryPath);
    for (int id : {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX}) {
        cpu.SetRegister(id, 0);
    }
    cpu.SetRegister(UC_X86_REG_EFLAGS, l.initialFlags);
    cpu.SetRegister(UC_X86_REG_ESP, l.entryEsp);
    for (const SavedRegister& saved : CalleeSaved) {
        cpu.SetRegister(saved.id, saved.value);
    }

    auto started = std::chrono::steady_clock::now();
    StopReason stop = cpu.Run(l.entryPoint, layout::ReturnToLoader);
    result.stats.elapsed = std::chrono::steady_clock::now() - started;
    result.stats.instructions = *l.tally.executed;
    l.result = nullptr;
    l.model = nullptr;

    // The deepest the run went: the lowest byte no longer holding the fill,
    // or the lowest ESP at a kernel call when that is lower (a pushed value
    // may end in a byte that equals the fill). The call frame is the loader's.
    cpu.Read(stackLimit, l.stack);
    const uint32_t lowestWritten = std::min(stackLimit + FirstWritten(l.stack), l.lowestEsp);
    l.dirtyStack = lowestWritten & ~3u;
    result.stats.peakStackBytes = l.entryEsp - std::min(lowestWritten, l.entryEsp);

    const uint32_t eip = cpu.Register(UC_X86_REG_EIP);
    if (l.tally.exhausted && !result.fault && !result.testBedError) {
        result.fault = GuestFault{"instruction budget of " + std::to_string(l.limits.instructionBudget) + " exceeded",
                                  *l.tally.lastAddress, l.traps.LastCall()};
    }
    if (!result.fault && !result.testBedError) {
        if (stop.violation) {
            const bool fetch = stop.violation->access == Access::Fetch;
            result.fault = GuestFault{DescribeViolation(*stop.violation, eip, stackLimit),
                                      fetch ? stop.violation->address : eip, l.traps.LastCall()};
            // The fetch never ran, so the last instruction counted is the
            // jump, call or return that went there.
            if (fetch) result.fault->cameFrom = *l.tally.lastAddress;
        } else if (!stop.reachedEnd) {
            result.fault = GuestFault{"the CPU stopped: " + (stop.error.empty() ? "for no reason given" : stop.error),
                                      eip, l.traps.LastCall()};
        }
    }
    if (!result.fault && !result.testBedError) {
        // stdcall: DriverEntry pops its own two arguments.
        uint32_t esp = cpu.Register(UC_X86_REG_ESP);
        if (esp != l.stackBase) {
            result.fault =
                GuestFault{"ESP is " + Hex(esp, 8) + " after DriverEntry returned, not " + Hex(l.stackBase, 8) +
                               ": it did not pop its 8 bytes of arguments as stdcall requires",
                           eip, l.traps.LastCall()};
        }
        for (const SavedRegister& saved : CalleeSaved) {
            if (!result.fault && cpu.Register(saved.id) != saved.value) {
                result.fault = GuestFault{std::string(saved.name) + " was not preserved across DriverEntry", eip,
                                          l.traps.LastCall()};
            }
        }
    }
    if (result.fault) result.fault->lastCallReturnAddress = l.traps.LastReturnAddress();
    result.status = cpu.Register(UC_X86_REG_EAX);

    std::vector<uint8_t> after(l.loaderData.size());
    cpu.Read(layout::LoaderData, after);
    const uint32_t registry = layout::RegistryPath - layout::LoaderData;
    const auto& before = l.loaderData;
    result.driverObjectUntouched =
        std::equal(after.begin(), after.begin() + layout::DriverObjectSize, before.begin()) && !l.driverObjectAccessed;
    result.registryPathUntouched =
        std::equal(after.begin() + registry, after.end(), before.begin() + registry) && !l.registryPathAccessed;
    return result;
}

std::string DescribeGuestFault(const GuestFault& fault)
{
    return fault.what + " (at " + Hex(fault.address, 8) +
           "); last kernel call: " + (fault.lastKernelCall.empty() ? "none" : fault.lastKernelCall);
}

ImageRunResult RunDriverImage(const PeImage& image, testbed::KernelModel& model, const RunLimits& limits)
{
    return DriverImageRunner(image, limits).Run(model);
}

}  // namespace quarnhold::emulator
