// The real driver, except that after a failed write it executes FF E8 (a far
// jump through a register, an invalid encoding) instead of closing the file.
// Unicorn 2.0.1 aborts the process that runs it, so only the runs in which
// the write fails end that way: a fault sweep must report each of them and
// go on with the rest.

#include "kernel/kernel_services.h"

namespace {

// InvalidFarJump
//
// Executes the invalid encoding. Runs in place of ZwClose after a failed
// write only.
NTSTATUS InvalidFarJump(void)
{
    __asm__ volatile(".byte 0xFF, 0xE8");
    return STATUS_SUCCESS;
}

}  // namespace

#define ZwClose(Handle) (Status == STATUS_SUCCESS ? ZwClose(Handle) : InvalidFarJump())
#include "steps/write_test_file.cpp"
#undef ZwClose
