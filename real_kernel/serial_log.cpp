// serial_log.cpp

#include "real_kernel/serial_log.h"

#include <regex>

#include "real_kernel/child_process.h"

namespace quarnhold::real_kernel {
namespace {

// "'\Driver\quarnhold' initialization failed, status (0x"
std::string FailureMarker(std::string_view service)
{
    return "'\\Driver\\" + std::string(service) + "' initialization failed, status (0x";
}

// Another party's line: ReactOS tags every debug line with its source file
// and line, "(/ntoskrnl/io/iomgr/driver.c:655) ", after a Wine-style channel
// ("fixme:", "err:") for user-mode code. It ends with "\r\n".
const std::regex& ForeignLine()
{
    static const std::regex line(R"((?:(?:fixme|err|warn|trace):)?\(/[^()\r\n]*:[0-9]+\) [^\r\n]*\r\n)");
    return line;
}

const std::regex& LinePrefix()
{
    static const std::regex prefix(R"((?:(?:fixme|err|warn|trace):)?\(/[^()\r\n]*:[0-9]+\) $)");
    return prefix;
}

// What the kernel prints when it stops: a bug check, a failed assertion (a
// Debug build then waits at its debugger's prompt), its debugger entered.
constexpr std::string_view StopMarkers[] = {"*** Fatal System Error: ", "*** Assertion failed: ", "Entered debugger on "};

std::string Replace(std::string text, std::string_view from, std::string_view to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

std::optional<uint32_t> InitializationStatus(std::string_view log, std::string_view service)
{
    const std::string marker = FailureMarker(service);
    size_t at = log.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    size_t digits = at + marker.size();
    size_t close = log.find(')', digits);
    if (close == std::string_view::npos || close == digits || close - digits > 8) return std::nullopt;
    std::string hex(log.substr(digits, close - digits));
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
}

std::optional<size_t> KernelStopAt(std::string_view log)
{
    std::optional<size_t> first;
    for (std::string_view marker : StopMarkers) {
        size_t at = log.find(marker);
        if (at != std::string_view::npos && (!first || at < *first)) first = at;
    }
    return first;
}

std::optional<std::string> KernelStop(std::string_view log)
{
    std::optional<size_t> at = KernelStopAt(log);
    if (!at) return std::nullopt;
    size_t end = log.find_first_of("\r\n", *at);
    if (end == std::string_view::npos) end = log.size();
    return std::string(log.substr(*at, end - *at));
}

DriverOutput ExtractDriverOutput(std::string_view log, std::string_view service)
{
    const std::string loading = "\\" + std::string(service) + ".sys at ";
    DriverOutput output;
    // The driver's bytes end at the kernel's failure line, or where the
    // kernel stopped while the driver ran.
    size_t end = log.find(FailureMarker(service));
    std::optional<size_t> stop = KernelStopAt(log);
    if (stop && (end == std::string_view::npos || *stop < end)) {
        end = *stop;
        output.stop = KernelStop(log);
    } else {
        output.status = InitializationStatus(log, service);
        if (end == std::string_view::npos || !output.status) {
            throw CheckError("the serial log holds no line '" + FailureMarker(service) +
                             "...)': DriverEntry never returned a failure, and the kernel did not stop");
        }
    }
    const std::string what = output.stop ? "the kernel's stop" : "the driver's failure line";
    size_t load = log.rfind(loading, end);
    size_t loadLine = load == std::string_view::npos ? load : log.rfind('\n', load);
    if (load == std::string_view::npos ||
        log.substr(loadLine + 1, load - loadLine - 1).find("Loading: ") == std::string_view::npos) {
        throw CheckError("the serial log holds no 'Loading: ..." + loading + "' line before " + what);
    }
    size_t begin = log.find('\n', load);
    if (begin == std::string_view::npos || begin > end) {
        throw CheckError("the kernel's loading line runs into " + what);
    }
    ++begin;

    std::string span(log.substr(begin, end - begin));
    if (output.stop) {
        // A stop's report begins with a line break of its own.
        if (span.ends_with("\r\n")) span.erase(span.size() - 2);
    } else {
        // The failure line's own tag ends the driver's bytes.
        std::smatch prefix;
        if (std::regex_search(span, prefix, LinePrefix())) span.erase(static_cast<size_t>(prefix.position(0)));
    }

    std::string kept;
    auto last = span.cbegin();
    for (std::sregex_iterator it(span.begin(), span.end(), ForeignLine()), stopAt; it != stopAt; ++it) {
        kept.append(last, span.cbegin() + it->position(0));
        last = span.cbegin() + it->position(0) + it->length(0);
        ++output.foreignLinesRemoved;
    }
    kept.append(last, span.cend());
    output.messages = Replace(std::move(kept), "\r\n", "\n");
    return output;
}

std::string LastLine(std::string_view log)
{
    while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.remove_suffix(1);
    size_t start = log.find_last_of('\n');
    std::string_view line = start == std::string_view::npos ? log : log.substr(start + 1);
    std::string shown;
    for (char c : line) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\r') continue;
        shown += (byte < 0x20 || byte == 0x7F) ? '?' : c;
    }
    return shown;
}

}  // namespace quarnhold::real_kernel
