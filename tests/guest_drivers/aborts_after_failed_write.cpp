// The real driver, except that after a failed write it executes FF E8 (a far
// jump through a register, an invalid encoding) instead of closing the file.
// Unicorn 2.0.1 aborts the process that runs it, so only the runs in which
// the write fails end that way: a fault sweep must report each of them and
// go on with the rest. The close on the open's own failure branch is left
// as it is, so that the failed write is the only path to the abort.

#include "kernel/kernel_services.h"

namespace {

bool WriteTried = false;

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

#define ZwWriteFile(...) (WriteTried = true, ZwWriteFile(__VA_ARGS__))
#define ZwClose(Handle) (WriteTried && Status != STATUS_SUCCESS ? InvalidFarJump() : ZwClose(Handle))
#include "steps/write_test_file.cpp"
#undef ZwClose
#undef ZwWriteFile
