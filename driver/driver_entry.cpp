// driver_entry.cpp
//
// DriverEntry: the only way into the driver. It frames the three file steps
// with an entry and an exit message and fails its own load, so that the
// kernel unloads the image at once and nothing stays resident.

#include "driver/driver_entry.h"

#include "kernel/kernel_services.h"
#include "steps/file_steps.h"

namespace {

// "驱动入口": driver entry.
constexpr char DriverEntryMessage[] = "\xC7\xFD\xB6\xAF\xC8\xEB\xBF\xDA";
// "执行完退出": finished, exiting.
constexpr char DriverExitMessage[] = "\xD6\xB4\xD0\xD0\xCD\xEA\xCD\xCB\xB3\xF6";

}  // namespace

// DriverEntry
//
// Called once by the kernel when the service starts, at PASSIVE_LEVEL in the
// thread that loads drivers. Neither argument is read or written.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;

    DbgPrint(DriverEntryMessage);

    // Each step reports its own outcome; the next runs whatever happened.
    CreateWorkDirectory();
    CreateTestFile();
    WriteTestFile();

    DbgPrint(DriverExitMessage);

    // A failure status on purpose: the kernel refuses the load and unloads
    // the image, as it does on every run.
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
