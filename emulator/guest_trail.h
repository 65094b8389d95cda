// guest_trail.h
//
// Where a run of the emulated CPU has got to: the last guest address it
// executed and the last kernel call. The runner keeps it up to date as the
// guest runs, in memory another process can read, so that a run that takes
// its process down (an abort inside Unicorn, a crash) can still be described.

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quarnhold::emulator {

struct GuestTrail {
    uint64_t lastAddress = 0;    // the instruction last executed, or the entry point before the first
    uint64_t instructions = 0;   // executed so far in this run
    char lastKernelCall[160]{};  // NUL-terminated; empty before the first call
    uint64_t lastCallReturnAddress = 0;  // the last call's; 0 when unknown

    // Keeps `call` ("ZwWriteFile, called from 0x80A0115E"), cut to fit, and
    // its return address.
    void SetLastKernelCall(std::string_view call, std::optional<uint64_t> returnAddress)
    {
        const size_t kept = std::min(call.size(), sizeof(lastKernelCall) - 1);
        std::memcpy(lastKernelCall, call.data(), kept);
        lastKernelCall[kept] = '\0';
        lastCallReturnAddress = returnAddress.value_or(0);
    }
    std::optional<uint64_t> LastCallReturnAddress() const
    {
        return lastCallReturnAddress != 0 ? std::optional<uint64_t>(lastCallReturnAddress) : std::nullopt;
    }
    std::string LastKernelCall() const
    {
        return std::string(lastKernelCall, strnlen(lastKernelCall, sizeof(lastKernelCall)));
    }
};

}  // namespace quarnhold::emulator
