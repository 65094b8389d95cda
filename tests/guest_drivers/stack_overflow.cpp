// Recurses with a 1 KB frame until it runs off the 12 KB kernel stack.

#include "kernel/kernel_services.h"

namespace {

ULONG Recurse(ULONG Depth)
{
    volatile UCHAR Frame[1024];
    Frame[0] = static_cast<UCHAR>(Depth);
    if (Depth == 0xFFFFFFFF) {
        return 0;
    }
    return Recurse(Depth + 1) + Frame[0];
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("recursing");
    return static_cast<NTSTATUS>(Recurse(0));
}
