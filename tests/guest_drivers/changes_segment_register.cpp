// The real driver, entered through a prologue that loads a GDT and an IDT
// of its own and FS with a segment from that GDT, and says so when it finds
// any of them there already: a run that follows another on the same CPU
// must not.

#define DriverEntry QuarnholdDriverEntry
#include "driver/driver_entry.cpp"
#undef DriverEntry

namespace {
// A null descriptor, then a flat, writable, present data segment (marked
// accessed, so that loading it writes nothing back into the table).
constexpr unsigned long long Gdt[2] = {0, 0x00CF93000000FFFFull};
constexpr unsigned short FlatData = 0x08;

struct __attribute__((packed)) TableRegister {
    unsigned short Limit;
    unsigned long Base;
};
}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    unsigned short Fs = 0;
    TableRegister GdtFound = {0, 0}, IdtFound = {0, 0};
    __asm__ volatile("movw %%fs, %0\n\tsgdt %1\n\tsidt %2" : "=r"(Fs), "=m"(GdtFound), "=m"(IdtFound));
    const unsigned long Table = reinterpret_cast<unsigned long>(Gdt);
    if (Fs == FlatData) DbgPrint("FS holds what the last run left there");
    if (GdtFound.Base == Table) DbgPrint("GDTR holds what the last run left there");
    if (IdtFound.Base == Table) DbgPrint("IDTR holds what the last run left there");
    const TableRegister Own = {sizeof(Gdt) - 1, Table};
    __asm__ volatile("lgdt %0\n\tlidt %0\n\tmovw %1, %%fs" : : "m"(Own), "r"(FlatData) : "memory");
    return QuarnholdDriverEntry(DriverObject, RegistryPath);
}
