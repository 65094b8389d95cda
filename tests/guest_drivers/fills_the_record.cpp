// Calls DbgPrint without end, each time with a format of 2047 conversions
// the kernel does not know: each is a broken rule naming the whole call, so
// the run's record grows by megabytes a call, and would take the host's
// memory if nothing stopped it before the instruction budget runs out.

#include "kernel/kernel_services.h"

namespace {
struct FormatText {
    char Text[4096];
};

constexpr FormatText UnknownConversions()
{
    FormatText Format{};
    for (int i = 0; i + 1 < 4095; i += 2) {
        Format.Text[i] = '%';
        Format.Text[i + 1] = 'q';
    }
    return Format;
}

constexpr FormatText Format = UnknownConversions();
}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    for (;;) {
        DbgPrint(Format.Text);
    }
}
