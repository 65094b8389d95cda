// The real driver, entered through a prologue that sets CR0's task-switched
// flag (TS), so that the next x87 or SSE instruction would trap, and says
// so when it finds the flag set already: a run that follows another on the
// same CPU must not.

#define DriverEntry QuarnholdDriverEntry
#include "driver/driver_entry.cpp"
#undef DriverEntry

namespace {
constexpr unsigned long Cr0TaskSwitched = 0x8;
}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    unsigned long Cr0;
    __asm__ volatile("movl %%cr0, %0" : "=r"(Cr0));
    if (Cr0 & Cr0TaskSwitched) DbgPrint("CR0 holds what the last run left there");
    Cr0 |= Cr0TaskSwitched;
    __asm__ volatile("movl %0, %%cr0" : : "r"(Cr0) : "memory");
    return QuarnholdDriverEntry(DriverObject, RegistryPath);
}
