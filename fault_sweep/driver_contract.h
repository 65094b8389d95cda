// driver_contract.h
//
// The arguments the driver's calls must carry, written from its documented
// contract and kept apart from its sources: a driver that passes the wrong
// flags and then honestly reports the kernel's refusal still breaks this
// rule. One table holds every call: the three creates, the write, the close,
// and the fourteen message formats.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_sweep/expected_messages.h"
#include "testbed/kernel_model.h"

namespace quarnhold::fault_sweep {

// One call the driver may make, with the arguments it must carry.
struct ContractCall {
    testbed::Routine routine = testbed::Routine::DbgPrint;
    // For ZwCreateFile and ZwWriteFile: which call of the run it is (from 1);
    // DbgPrint's formats may come at any place the run sequence allows.
    unsigned occurrence = 0;
    std::string_view what;  // the step and what the call is for

    // ZwCreateFile.
    std::string_view path;  // UTF-8
    uint32_t desiredAccess = 0;
    uint32_t fileAttributes = 0;
    uint32_t shareAccess = 0;
    uint32_t createDisposition = 0;
    uint32_t createOptions = 0;

    // ZwWriteFile: the bytes at Buffer, Length bytes of them.
    std::string_view bytes;

    // DbgPrint.
    const MessageFormat* format = nullptr;
};

// Every call of the contract: the steps' calls in the order the run sequence
// makes them, then the close every step makes.
const std::vector<ContractCall>& DriverContract();

// OBJECT_ATTRIBUTES.Attributes of every create: OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE.
inline constexpr uint32_t ContractObjectAttributes = 0x240;

// The first way `calls` strays from the contract, or nothing when every
// call's arguments are the contract's.
std::optional<std::string> CheckContractArguments(const std::vector<testbed::KernelCall>& calls);

}  // namespace quarnhold::fault_sweep
