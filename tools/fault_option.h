// fault_option.h
//
// A fault as quarnhold-run's --fault option writes it: ROUTINE#N=STATUS makes
// the N-th call of ROUTINE return STATUS (hex, or a name such as
// STATUS_DISK_FULL) instead of what the kernel would answer;
// ZwCreateFile#N=info:VALUE makes it succeed with that Information. The
// sweep prints failed runs in the same form, so a person can run one again
// alone. Also the sweep's filters on the faulted call and the status.

#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "fault_sweep/sweep_filter.h"
#include "testbed/kernel_model.h"
#include "testbed/nt_status.h"

namespace quarnhold::tools {

// The fault, or a one-line reason the text is not one.
std::variant<testbed::InjectedFault, std::string> ParseFaultOption(std::string_view text);

// "ZwWriteFile#1=0xC000007F", or "ZwCreateFile#2=info:0x5".
std::string FaultOption(const testbed::InjectedFault& fault);

// A status given as hex (with or without 0x) or as its name in any letter
// case; a one-line reason when it is neither. `option` names the option in
// the reason.
std::variant<testbed::NtStatus, std::string> ParseStatusOption(std::string_view text, std::string_view option);

// "ZwWriteFile" (every call of it) or "ZwCreateFile#2" for --fault-call; a
// one-line reason when it is neither.
std::variant<fault_sweep::FaultedCall, std::string> ParseFaultCall(std::string_view text);

// The call as ParseFaultCall reads it back.
std::string FaultCallOption(const fault_sweep::FaultedCall& call);

// A status as the options show it: its name when the test bed knows one,
// its number otherwise.
std::string StatusOption(testbed::NtStatus status);

}  // namespace quarnhold::tools
