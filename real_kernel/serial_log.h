// serial_log.h
//
// What ReactOS's serial debug port shows of one start of the driver. The
// kernel writes each DbgPrint's bytes raw (only "\n" becomes "\r\n"), so the
// driver's messages, which end in no line break, arrive run together, and
// lines of other code (the kernel, drivers, services, each tagged with its
// source file and line) may fall between them.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarnhold::real_kernel {

// The service whose start the check watches.
constexpr std::string_view ServiceName = "quarnhold";

struct DriverOutput {
    std::string messages;             // the driver's bytes, concatenated, "\r\n" back to "\n"
    std::optional<uint32_t> status;   // what the kernel says DriverEntry returned; nothing when it stopped
    std::optional<std::string> stop;  // the line where the kernel stopped while the driver ran
    int foreignLinesRemoved = 0;      // other code's lines taken out from between them
};

// The kernel's line saying the driver failed its initialization, complete
// with its line break; nothing before it has come.
std::optional<uint32_t> InitializationStatus(std::string_view log, std::string_view service = ServiceName);

// The first line saying the kernel stopped: a bug check, a failed assertion
// (a Debug build then waits at its debugger's prompt), or its debugger
// entered; and where it begins in the log.
std::optional<std::string> KernelStop(std::string_view log);
std::optional<size_t> KernelStopAt(std::string_view log);

// The driver's output: everything between the end of the kernel's
// "Loading: ...\<service>.sys" line and its "'\Driver\<service>'
// initialization failed" line, or the line where the kernel stopped while
// the driver ran, with other code's lines taken out. Throws CheckError
// naming what is missing.
DriverOutput ExtractDriverOutput(std::string_view log, std::string_view service = ServiceName);

// The last complete text line of the log, for an error message.
std::string LastLine(std::string_view log);

}  // namespace quarnhold::real_kernel
