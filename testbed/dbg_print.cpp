// dbg_print.cpp
//
// Module: DbgPrint.
//
// Abstract: the debug print request: the message formatted as the kernel
// formats it (debug_print_format.h), cut at its limit, kept as raw bytes.

#include "testbed/kernel_model.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {

// DbgPrint
//
// Formats the message and keeps its bytes, one entry per call, cut at the
// kernel's 512-byte limit.
void KernelModel::DebugPrint(std::string_view format, FormatArguments& arguments)
{
    // Spelt out only when asked for: most messages break no rule and stop
    // no run, and the conversion is a visible share of a sweep run.
    BeginCall({});
    currentFormat_.assign(format);
    currentIsDebugPrint_ = true;
    FormattedMessage message = FormatDebugMessage(format, arguments);
    for (std::string& problem : message.problems) {
        Break("DbgPrint: " + problem);
    }
    if (message.bytes.size() > DebugPrintLimit) {
        message.bytes.resize(DebugPrintLimit);
        Break("DbgPrint: message cut at " + std::to_string(DebugPrintLimit) + " bytes");
    }
    Record(Routine::DbgPrint, status::Success, 0, "\"" + GbkToUtf8(message.bytes) + "\"", "").format = format;
    recordBytes_ += format.size() + message.bytes.size();
    debugOutput_.push_back(std::move(message.bytes));
}

}  // namespace quarnhold::testbed
