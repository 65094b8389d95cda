// The real driver, entered through a prologue that leaves control words of
// its own in the x87 FPU (rounding toward zero, single precision) and in
// MXCSR (rounding toward zero), and says so when it finds either there
// already: a run that follows another on the same CPU must not.

#define DriverEntry QuarnholdDriverEntry
#include "driver/driver_entry.cpp"
#undef DriverEntry

namespace {
constexpr unsigned short LeftInControlWord = 0x0C7F;
constexpr unsigned int LeftInMxcsr = 0x7F80;
}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    unsigned short ControlWord = 0;
    unsigned int Mxcsr = 0;
    __asm__ volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(ControlWord), "=m"(Mxcsr));
    if (ControlWord == LeftInControlWord) DbgPrint("the x87 control word holds what the last run left there");
    if (Mxcsr == LeftInMxcsr) DbgPrint("MXCSR holds what the last run left there");
    __asm__ volatile("fldcw %0\n\tldmxcsr %1" : : "m"(LeftInControlWord), "m"(LeftInMxcsr));
    return QuarnholdDriverEntry(DriverObject, RegistryPath);
}
