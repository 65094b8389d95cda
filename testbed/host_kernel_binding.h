// host_kernel_binding.h
//
// The host-linked driver calls ZwCreateFile, ZwWriteFile, ZwClose and
// DbgPrint as ordinary functions; this library defines them over a
// KernelModel. A binding says which model answers for as long as it lives.

#pragma once

#include "testbed/kernel_model.h"

namespace quarnhold::testbed {

class HostKernelBinding {
public:
    // Throws std::logic_error when another binding is alive: one kernel at a
    // time.
    explicit HostKernelBinding(KernelModel& model);
    ~HostKernelBinding();
    HostKernelBinding(const HostKernelBinding&) = delete;
    HostKernelBinding& operator=(const HostKernelBinding&) = delete;
};

}  // namespace quarnhold::testbed
