// The real driver with one bug that shows only when ZwWriteFile fails: the
// write step closes its handle after a successful write only. Every run on
// a healthy disk is correct; only a fault sweep finds the leak. The close on
// the open's own failure branch is left as it is, so that the write is the
// only path with the bug.

#include "kernel/kernel_services.h"

namespace {
bool WriteTried = false;
}  // namespace

#define ZwWriteFile(...) (WriteTried = true, ZwWriteFile(__VA_ARGS__))
#define ZwClose(Handle) (WriteTried && Status != STATUS_SUCCESS ? STATUS_SUCCESS : ZwClose(Handle))
#include "steps/write_test_file.cpp"
#undef ZwClose
#undef ZwWriteFile
