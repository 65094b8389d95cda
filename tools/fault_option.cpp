// fault_option.cpp

#include "tools/fault_option.h"

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

}  // namespace

std::variant<testbed::InjectedFault, std::string> ParseFaultOption(std::string_view text)
{
    const std::string usage = "--fault wants ROUTINE#N=STATUS or ZwCreateFile#N=info:VALUE, not " + std::string(text);
    size_t hash = text.find('#');
    size_t equals = text.find('=');
    if (hash == std::string_view::npos || equals == std::string_view::npos || equals < hash) return usage;

    testbed::InjectedFault fault;
    std::string_view routine = text.substr(0, hash);
    if (routine == "ZwCreateFile") {
        fault.routine = testbed::Routine::ZwCreateFile;
    } else if (routine == "ZwWriteFile") {
        fault.routine = testbed::Routine::ZwWriteFile;
    } else if (routine == "ZwClose") {
        fault.routine = testbed::Routine::ZwClose;
    } else {
        return "--fault: " + std::string(routine) + " is not ZwCreateFile, ZwWriteFile or ZwClose";
    }
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
        fault.status = ParseNumber(value, true);
        if (!fault.status) return usage;
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
