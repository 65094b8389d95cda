// The real driver with one bug that shows only when ZwWriteFile fails: the
// write step closes its handle after a successful write only. Every run on
// a healthy disk is correct; only a fault sweep finds the leak.

#include "kernel/kernel_services.h"

#define ZwClose(Handle) (Status == STATUS_SUCCESS ? ZwClose(Handle) : STATUS_SUCCESS)
#include "steps/write_test_file.cpp"
#undef ZwClose
