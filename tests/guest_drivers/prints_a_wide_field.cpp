// Prints a number in a field 0x7FFFFFFF characters wide, given as an
// argument (`*`), and with as many digits of precision: the kernel's
// message holds 512 bytes, and the formatting must not take the host's
// memory and time to make 2 GB of padding first.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("%*d", 0x7FFFFFFF, 1);
    DbgPrint("%.*d", 0x7FFFFFFF, 1);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
