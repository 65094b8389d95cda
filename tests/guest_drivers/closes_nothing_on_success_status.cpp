// The real driver as it was before the mend: each step's failure branch
// closes nothing, whatever the status. A success status other than zero
// (STATUS_OPLOCK_BREAK_IN_PROGRESS, STATUS_OBJECT_NAME_EXISTS) comes with a
// handle on NT, which this driver leaves open; every run that gets no such
// status is correct, and only a fault sweep that injects one finds the leak.

#include "kernel/kernel_services.h"

#define NT_SUCCESS(Status) false
#include "steps/create_test_file.cpp"
#include "steps/create_work_directory.cpp"
#include "steps/write_test_file.cpp"
#undef NT_SUCCESS
