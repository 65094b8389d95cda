// driver_entry.h
//
// The image's entry point, as the kernel calls it.

#pragma once

#include "kernel/kernel_services.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
