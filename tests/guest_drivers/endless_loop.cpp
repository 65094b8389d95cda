// Never returns.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("looping");
    volatile ULONG Counter = 0;
    for (;;) {
        Counter = Counter + 1;
    }
}
