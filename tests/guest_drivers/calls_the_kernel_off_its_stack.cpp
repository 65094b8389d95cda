// Moves its stack pointer far below the kernel stack and jumps into
// DbgPrint from there: the kernel call faults, and the stack pointer it
// was made with says nothing of how deep the kernel stack went.

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DbgPrint("leaving the kernel stack");
    void* Print = reinterpret_cast<void*>(&DbgPrint);
#if defined(_M_IX86)
    __asm__ volatile("movl $0x1000, %%esp\n\tjmp *%0" ::"r"(Print) : "memory");
#else
    __asm__ volatile("movq $0x1000, %%rsp\n\tjmpq *%0" ::"r"(Print) : "memory");
#endif
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
