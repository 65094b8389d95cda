// host_run.cpp

#include <array>
#include <cstring>

#include "driver/driver_entry.h"
#include "testbed/host_kernel_binding.h"
#include "testbed/test_bed_error.h"
#include "tests/support/run_outcome.h"

namespace quarnhold::tests {
namespace {

// Larger than any DRIVER_OBJECT (0xA8 bytes on i386, 0x150 on x64): the
// driver must not touch a byte of it.
constexpr size_t DriverObjectBytes = 0x200;

}  // namespace

RunOutcome RunHostLinked(testbed::KernelModel& model, HostDriverEntry entry)
{
    alignas(16) std::array<unsigned char, DriverObjectBytes> driverObject;
    for (size_t i = 0; i < driverObject.size(); ++i) {
        driverObject[i] = static_cast<unsigned char>(0xA5 ^ i);
    }
    const auto driverObjectBefore = driverObject;

    WCHAR registryText[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quarnhold";
    UNICODE_STRING registryPath{static_cast<USHORT>(sizeof(registryText) - sizeof(WCHAR)),
                                static_cast<USHORT>(sizeof(registryText)), registryText};
    const UNICODE_STRING registryPathBefore = registryPath;
    const std::u16string registryTextBefore = registryText;

    NTSTATUS status = 0;
    std::string testBedError;
    std::string stopped;
    {
        testbed::HostKernelBinding binding(model);
        // A failure of the test bed's host work, or a bug check, unwinds
        // through the host-compiled driver to here: the run ends at that call.
        try {
            status = entry(reinterpret_cast<PDRIVER_OBJECT>(driverObject.data()), &registryPath);
        } catch (const testbed::RunStop& stop) {
            stopped = stop.what();
        } catch (const testbed::TestBedError& failure) {
            testBedError = std::string(failure.what()) + ", in " + model.CallInProgress();
        }
    }

    RunOutcome outcome = CollectOutcome(model);
    outcome.status = static_cast<uint32_t>(status);
    outcome.fault = stopped;
    outcome.testBedError = testBedError;
    outcome.driverObjectUntouched = driverObject == driverObjectBefore;
    outcome.registryPathUntouched = std::memcmp(&registryPath, &registryPathBefore, sizeof(registryPath)) == 0 &&
                                    registryTextBefore == registryText;
    return outcome;
}

}  // namespace quarnhold::tests
