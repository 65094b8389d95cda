// driver_image_run.cpp

#include "emulator/driver_image_run.h"

#include <array>
#include <cstdio>

#include "emulator/guest_cpu.h"
#include "emulator/guest_layout.h"
#include "emulator/hex_text.h"
#include "emulator/image_mapping.h"
#include "emulator/kernel_image_checks.h"
#include "emulator/kernel_traps.h"

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

}  // namespace

ImageRunResult RunDriverImage(const PeImage& image, testbed::KernelModel& model, const RunLimits& limits)
{
    CheckKernelImage(image, KnownKernelImports);

    GuestCpu cpu;
    KernelTraps traps(cpu, model, layout::TrapPage);
    ImageRunResult result;
    result.imageBase = image.imageBase == layout::ImageBase ? layout::AlternateImageBase : layout::ImageBase;
    MappedImage mapped = MapImage(image, result.imageBase, [&](std::string_view library, std::string_view name) {
        return traps.Resolve(library, name);
    });
    for (const MappedRegion& region : mapped.regions) {
        cpu.Map(mapped.base + region.rva, region.size, {region.read, region.write, region.execute},
                std::span(mapped.memory).subspan(region.rva, region.size));
    }
    cpu.Map(layout::TrapPage, 0x1000, {true, false, true}, traps.PageBytes());

    const uint32_t stackLimit = layout::StackLimit;
    const uint32_t stackBase = stackLimit + ((limits.stackBytes + 0xFFF) & ~0xFFFu);
    cpu.Map(stackLimit, stackBase - stackLimit, {true, true, false});
    const std::vector<uint8_t> loaderData = LoaderDataPage();
    cpu.Map(layout::LoaderData, 0x1000, {true, true, false}, loaderData);

    // The call frame: return address, DriverObject, RegistryPath.
    const uint32_t entryEsp = stackBase - 12;
    cpu.WriteU32(entryEsp, layout::ReturnToLoader);
    cpu.WriteU32(entryEsp + 4, layout::DriverObject);
    cpu.WriteU32(entryEsp + 8, layout::RegistryPath);
    cpu.SetRegister(UC_X86_REG_ESP, entryEsp);
    for (const SavedRegister& saved : CalleeSaved) {
        cpu.SetRegister(saved.id, saved.value);
    }

    uint32_t lowestEsp = entryEsp;
    cpu.OnCode(1, 0, [&](uint32_t address) {
        if (result.fault) return;
        lowestEsp = std::min(lowestEsp, cpu.Register(UC_X86_REG_ESP));
        if (++result.stats.instructions > limits.instructionBudget) {
            result.fault = GuestFault{"instruction budget of " + std::to_string(limits.instructionBudget) + " exceeded",
                                      address, traps.LastCall()};
            cpu.Stop();
            return;
        }
        if (traps.Contains(address) && address != layout::ReturnToLoader) {
            if (std::optional<std::string> failed = traps.Dispatch(address)) {
                result.fault = GuestFault{*failed, address, traps.LastCall()};
                cpu.Stop();
            }
        }
    });
    bool driverObjectAccessed = false;
    bool registryPathAccessed = false;
    cpu.OnMemory(layout::LoaderData, layout::LoaderData + 0xFFF, [&](Access access, uint32_t address, uint32_t size) {
        bool driverObject = address < layout::DriverObject + layout::DriverObjectSize;
        driverObjectAccessed = driverObjectAccessed || driverObject;
        registryPathAccessed = registryPathAccessed || !driverObject;
        result.loaderDataAccesses.push_back(
            DescribeLoaderDataAccess(access, address, size, cpu.Register(UC_X86_REG_EIP)));
    });

    auto started = std::chrono::steady_clock::now();
    StopReason stop = cpu.Run(mapped.entryPoint, layout::ReturnToLoader);
    result.stats.elapsed = std::chrono::steady_clock::now() - started;
    result.stats.peakStackBytes = stackBase - lowestEsp - 12;

    const uint32_t eip = cpu.Register(UC_X86_REG_EIP);
    if (!result.fault) {
        if (stop.violation) {
            result.fault =
                GuestFault{DescribeViolation(*stop.violation, eip, stackLimit),
                           stop.violation->access == Access::Fetch ? stop.violation->address : eip, traps.LastCall()};
        } else if (!stop.reachedEnd) {
            result.fault = GuestFault{"the CPU stopped: " + (stop.error.empty() ? "for no reason given" : stop.error),
                                      eip, traps.LastCall()};
        }
    }
    if (!result.fault) {
        // stdcall: DriverEntry pops its own two arguments.
        uint32_t esp = cpu.Register(UC_X86_REG_ESP);
        if (esp != stackBase) {
            result.fault =
                GuestFault{"ESP is " + Hex(esp, 8) + " after DriverEntry returned, not " + Hex(stackBase, 8) +
                               ": it did not pop its 8 bytes of arguments as stdcall requires",
                           eip, traps.LastCall()};
        }
        for (const SavedRegister& saved : CalleeSaved) {
            if (!result.fault && cpu.Register(saved.id) != saved.value) {
                result.fault = GuestFault{std::string(saved.name) + " was not preserved across DriverEntry", eip,
                                          traps.LastCall()};
            }
        }
    }
    result.status = cpu.Register(UC_X86_REG_EAX);

    std::vector<uint8_t> after(loaderData.size());
    cpu.Read(layout::LoaderData, after);
    const uint32_t registry = layout::RegistryPath - layout::LoaderData;
    result.driverObjectUntouched =
        std::equal(after.begin(), after.begin() + layout::DriverObjectSize, loaderData.begin());
    result.registryPathUntouched = std::equal(after.begin() + registry, after.end(), loaderData.begin() + registry);
    result.driverObjectUntouched = result.driverObjectUntouched && !driverObjectAccessed;
    result.registryPathUntouched = result.registryPathUntouched && !registryPathAccessed;
    return result;
}

}  // namespace quarnhold::emulator
