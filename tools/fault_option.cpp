// fault_option.cpp

#include "tools/fault_option.h"

#include <cctype>
#include <charconv>

#include "emulator/hex_text.h"

namespace quarnhold::tools {
namespace {

// A number in hex, with or without 0x; for info: also decimal without it.
std::optional<uint32_t> ParseNumber(std::string_view text, bool bareIsHex)
{
    int base = bareIsHex ? 16 : 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A status name rather than a number: STATUS_ in any letter case, and more.
bool IsStatusName(std::string_view text)
{
    constexpr std::string_view prefix = "STATUS_";
    if (text.size() <= prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// The routine a fault can be put on, by its name; a reason when it is not one.
std::variant<testbed::Routine, std::string> ParseRoutine(std::string_view name, std::string_view option)
{
    for (testbed::Routine routine :
         {testbed::Routine::ZwCreateFile, testbed::Routine::ZwWriteFile, testbed::Routine::ZwClose}) {
        if (testbed::RoutineName(routine) == name) return routine;
    }
    return std::string(option) + ": " + std::string(name) + " is not ZwCreateFile, ZwWriteFile or ZwClose";
}

}  // namespace

std::variant<testbed::NtStatus, std::string> ParseStatusOption(std::string_view text, std::string_view option)
{
    if (IsStatusName(text)) {
        if (std::optional<testbed::NtStatus> named = testbed::StatusNamed(text)) return *named;
        return std::string(option) + ": no status named " + std::string(text) +
               " is known here; give its number in hex";
    }
    if (std::optional<uint32_t> number = ParseNumber(text, true)) return *number;
    return std::string(option) + ": " + std::string(text) +
           " is neither a status in hex (0xC000007F) nor a status name (STATUS_DISK_FULL)";
}

std::variant<fault_sweep::FaultedCall, std::string> ParseFaultCall(std::string_view text)
{
    const size_t hash = text.find('#');
    auto routine = ParseRoutine(text.substr(0, hash), "--fault-call");
    if (const std::string* reason = std::get_if<std::string>(&routine)) return *reason;
    fault_sweep::FaultedCall call{std::get<testbed::Routine>(routine), 0};
    if (hash != std::string_view::npos) {
        std::optional<uint32_t> occurrence = ParseNumber(text.substr(hash + 1), false);
        if (!occurrence || *occurrence == 0) {
            return "--fault-call wants ROUTINE or ROUTINE#N, N counting the routine's calls from 1, not " +
                   std::string(text);
        }
        call.occurrence = *occurrence;
    }
    return call;
}

std::string FaultCallOption(const fault_sweep::FaultedCall& call)
{
    std::string text(testbed::RoutineName(call.routine));
    return call.occurrence == 0 ? text : text + "#" + std::to_string(call.occurrence);
}

std::string StatusOption(testbed::NtStatus status)
{
    std::string_view name = testbed::StatusName(status);
    return name.empty() ? emulator::Hex(status, 8) : std::string(name);
}

std::variant<testbed::InjectedFault, std::string> ParseFaultOption(std::string_view text)
{
    const std::string usage =
        "--fault wants ROUTINE#N=STATUS or ZwCreateFile#N=info:VALUE (N counts the routine's calls from 1; STATUS "
        "in hex or by name, as STATUS_DISK_FULL), not " +
        std::string(text);
    size_t hash = text.find('#');
    size_t equals = text.find('=');
    if (hash == std::string_view::npos || equals == std::string_view::npos || equals < hash) return usage;

    testbed::InjectedFault fault;
    std::string_view routine = text.substr(0, hash);
    auto parsedRoutine = ParseRoutine(routine, "--fault");
    if (const std::string* reason = std::get_if<std::string>(&parsedRoutine)) return *reason;
    fault.routine = std::get<testbed::Routine>(parsedRoutine);
    std::optional<uint32_t> occurrence = ParseNumber(text.substr(hash + 1, equals - hash - 1), false);
    if (!occurrence || *occurrence == 0) return usage;
    fault.occurrence = *occurrence;

    std::string_view value = text.substr(equals + 1);
    if (value.rfind("info:", 0) == 0) {
        if (fault.routine != testbed::Routine::ZwCreateFile) {
            return "--fault: only ZwCreateFile takes info:, not " + std::string(routine);
        }
        fault.information = ParseNumber(value.substr(5), false);
        if (!fault.information) return usage;
    } else {
        auto status = ParseStatusOption(value, "--fault");
        if (const std::string* reason = std::get_if<std::string>(&status)) {
            // A value that is no status at all is the option misread.
            return IsStatusName(value) ? *reason : usage;
        }
        fault.status = std::get<testbed::NtStatus>(status);
        if (*fault.status == 0) {
            // A call given a success status does its work and returns it: with
            // 0 it is the call unfaulted, and the report would count a fault
            // that changed nothing.
            return "--fault: " + std::string(text) +
                   " is no fault: 0 is STATUS_SUCCESS, what a call that works returns anyway; give another "
                   "status, or info:VALUE to change what a successful ZwCreateFile reports";
        }
        if (*fault.status == testbed::status::Pending) {
            return "--fault: STATUS_PENDING never comes back from a call on a synchronous handle, as the I/O manager "
                   "waits for the request; the driver's handles are all synchronous";
        }
    }
    return fault;
}

std::string FaultOption(const testbed::InjectedFault& fault)
{
    std::string value =
        fault.status ? emulator::Hex(*fault.status, 8) : "info:" + emulator::Hex(fault.information.value_or(0));
    return std::string(testbed::RoutineName(fault.routine)) + "#" + std::to_string(fault.occurrence) + "=" + value;
}

}  // namespace quarnhold::tools
