// fault_option.h
//
// A fault as quarnhold-run's --fault option writes it: ROUTINE#N=STATUS makes
// the N-th call of ROUTINE return STATUS instead of what the kernel would
// answer; ZwCreateFile#N=info:VALUE makes it succeed with that Information.
// The sweep prints failed runs in the same form, so a person can run one
// again alone.

#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "testbed/kernel_model.h"

namespace quarnhold::tools {

// The fault, or a one-line reason the text is not one.
std::variant<testbed::InjectedFault, std::string> ParseFaultOption(std::string_view text);

// "ZwWriteFile#1=0xC000007F", or "ZwCreateFile#2=info:0x5".
std::string FaultOption(const testbed::InjectedFault& fault);

}  // namespace quarnhold::tools
