// expected_messages.cpp

#include "fault_sweep/expected_messages.h"

#include <cstdio>
#include <stdexcept>

namespace quarnhold::fault_sweep {
namespace {

std::string Replace(std::string_view text, std::string_view placeholder, std::string_view value)
{
    size_t at = text.find(placeholder);
    if (at == std::string_view::npos) {
        throw std::logic_error("message has no " + std::string(placeholder));
    }
    return std::string(text.substr(0, at)) + std::string(value) + std::string(text.substr(at + placeholder.size()));
}

}  // namespace

std::string Printed(const MessageFormat& format)
{
    if (format.text.find("%ws") == std::string_view::npos) {
        return std::string(format.text);
    }
    bool directory = format.text == message::CreatingDirectory.text;
    return Replace(format.text, "%ws", directory ? WorkDirectoryPath : TestFilePath);
}

std::string Printed(const MessageFormat& format, uint32_t status)
{
    char digits[9];
    std::snprintf(digits, sizeof(digits), "%08X", status);
    return Replace(format.text, "%08X", digits);
}

}  // namespace quarnhold::fault_sweep
