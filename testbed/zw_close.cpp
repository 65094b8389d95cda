// zw_close.cpp
//
// Module: ZwClose.
//
// Abstract: the close request (ObpCloseHandle).

#include "testbed/kernel_model.h"
#include "testbed/model_text.h"

namespace quarnhold::testbed {

// ZwClose
//
// Closes a handle the table holds. An injected status is returned after the
// close, as ZwClose on a valid handle always closes it. A handle that is not
// open (never given out, or closed already) gets STATUS_INVALID_HANDLE and
// the run goes on: ObpCloseHandle bug-checks with INVALID_KERNEL_HANDLE only
// for a kernel-mode caller whose process has a PEB, with a kernel debugger
// enabled, and DriverEntry runs in the System process, which has no PEB.
// The close still breaks a rule, as a driver verifier reports it.
NtStatus KernelModel::Close(uint32_t handle)
{
    BeginCall("ZwClose(" + Hex(handle) + ")");
    const InjectedFault* fault = NextFault(Routine::ZwClose);
    if (!CheckHandle(handle, Routine::ZwClose)) {
        Record(Routine::ZwClose, status::InvalidHandle, handle, "handle " + Hex(handle),
               DescribeStatus(status::InvalidHandle));
        return status::InvalidHandle;
    }
    handles_.erase(handle);
    closedHandles_.insert(handle);
    ++counts_.closed;
    bool injected = fault && fault->status;
    NtStatus status = injected ? *fault->status : status::Success;
    Record(Routine::ZwClose, status, handle, "handle " + Hex(handle),
           (injected ? "injected " : "") + DescribeStatus(status), std::nullopt, injected);
    return status;
}

}  // namespace quarnhold::testbed
