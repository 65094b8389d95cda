// check_report.cpp

#include "real_kernel/check_report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "testbed/text_encoding.h"

namespace quarnhold::real_kernel {
namespace {

constexpr size_t ContentShown = 24;  // columns of a file's content shown in a row

// The code points of valid UTF-8 text.
std::vector<char32_t> CodePoints(std::string_view utf8)
{
    std::vector<char32_t> points;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < utf8.size(); ++k) {
            point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

// East Asian wide characters, which take two columns on a terminal.
bool Wide(char32_t point)
{
    return (point >= 0x1100 && point <= 0x115F) || (point >= 0x2E80 && point <= 0xA4CF) ||
           (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
           (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
           (point >= 0xFFE0 && point <= 0xFFE6);
}

// `utf8` cut to `columns`, with an ellipsis when it was longer.
std::string Clip(const std::string& utf8, size_t columns)
{
    if (DisplayWidth(utf8) <= columns) return utf8;
    std::string clipped;
    size_t width = 0;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::string one = utf8.substr(i, length);
        size_t w = DisplayWidth(one);
        if (width + w > columns - 1) break;
        clipped += one;
        width += w;
        i += length;
    }
    return clipped + "…";
}

// 0x and eight upper-case hex digits.
std::string Hex(uint32_t value)
{
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// A path as NT writes it.
std::string ShowPath(const std::string& path)
{
    std::string shown = path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

// One item of a disk in a cell: a directory, or a file with its size and bytes.
std::string ShowItem(const testbed::DiskItem& item)
{
    if (item.kind == testbed::DiskItem::Kind::Directory) return ShowPath(item.path) + "\\";
    if (item.kind == testbed::DiskItem::Kind::Link) return ShowPath(item.path) + " -> " + item.content;
    return ShowPath(item.path) + "  " + std::to_string(item.content.size()) + " bytes \"" +
           Clip(ShowGbk(item.content), ContentShown) + "\"";
}

// DriverEntry's status in a cell.
std::string ShowStatus(const std::optional<uint32_t>& status)
{
    return status ? "DriverEntry returned " + Hex(*status) : "DriverEntry did not return";
}

// The verdict as the scenario's heading line gives it.
const char* VerdictWords(const ScenarioResult& result)
{
    if (result.notChecked) return "NOT CHECKED";
    switch (result.judgement.verdict) {
        case Verdict::Agrees:
            return "agrees";
        case Verdict::KnownDifference:
            return "known difference";
        case Verdict::KnownDifferenceGone:
            return "agrees (a recorded difference is gone)";
        case Verdict::Differs:
            return "DIFFERS";
    }
    return "";
}

// Rows with the ReactOS column padded to `leftWidth`, a mark between the columns.
void WriteRows(const std::vector<Row>& rows, size_t leftWidth, std::ostream& out)
{
    for (const Row& row : rows) {
        size_t width = DisplayWidth(row.reactos);
        out << "    " << row.reactos << std::string(leftWidth > width ? leftWidth - width : 0, ' ')
            << (row.same ? " │ " : " ≠ ") << row.model << "\n";
    }
}

}  // namespace

size_t DisplayWidth(std::string_view utf8)
{
    size_t width = 0;
    for (char32_t point : CodePoints(utf8)) width += Wide(point) ? 2 : 1;
    return width;
}

std::string ShowGbk(std::string_view gbk)
{
    std::string shown;
    for (char c : testbed::GbkToUtf8(gbk)) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof(escape), "\\x%02X", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::vector<Row> MessageRows(std::string_view reactos, const std::vector<std::string>& model)
{
    size_t front = 0;  // model messages matched from the front
    std::string_view rest = reactos;
    while (front < model.size() && !model[front].empty() && rest.starts_with(model[front])) {
        rest.remove_prefix(model[front].size());
        ++front;
    }
    size_t back = model.size();  // model messages from `back` on matched from the end
    while (back > front && !model[back - 1].empty() && rest.ends_with(model[back - 1])) {
        rest.remove_suffix(model[back - 1].size());
        --back;
    }

    std::vector<Row> rows;
    for (size_t i = 0; i < front; ++i) rows.push_back({ShowGbk(model[i]), ShowGbk(model[i]), true});
    if (!rest.empty() || back > front) {
        rows.push_back({ShowGbk(rest), back > front ? ShowGbk(model[front]) : "", false});
        for (size_t i = front + 1; i < back; ++i) rows.push_back({"", ShowGbk(model[i]), false});
    }
    for (size_t i = back; i < model.size(); ++i) rows.push_back({ShowGbk(model[i]), ShowGbk(model[i]), true});
    return rows;
}

std::vector<Row> DiskRows(const ScenarioResult& result)
{
    std::map<std::string, std::pair<std::string, std::string>> cells;  // path -> shown on each side
    std::map<std::string, std::pair<const testbed::DiskItem*, const testbed::DiskItem*>> items;
    if (result.reactos.disk) {
        const auto& disk = *result.reactos.disk;
        for (size_t i = 0; i < disk.size(); ++i) {
            std::string attributes = i < result.reactosAttributes.size() ? result.reactosAttributes[i] : "";
            cells[disk[i].path].first = ShowItem(disk[i]) + (attributes.empty() ? "" : " [" + attributes + "]");
            items[disk[i].path].first = &disk[i];
        }
    }
    if (result.model.disk) {
        for (const testbed::DiskItem& item : *result.model.disk) {
            cells[item.path].second = ShowItem(item) + (item.readOnly ? " [R]" : "");
            items[item.path].second = &item;
        }
    }
    std::vector<Row> rows;
    for (const auto& [path, shown] : cells) {
        const auto& [left, right] = items[path];
        bool same = left != nullptr && right != nullptr && *left == *right;
        rows.push_back({shown.first, shown.second, same});
    }
    return rows;
}

std::string FirstDifference(std::string_view reactos, std::string_view model)
{
    size_t at = 0;
    while (at < reactos.size() && at < model.size() && reactos[at] == model[at]) ++at;
    if (at == reactos.size() && at == model.size()) return "";
    auto byte = [&](std::string_view bytes) {
        if (at >= bytes.size()) return std::string("the end");
        char text[5];
        std::snprintf(text, sizeof(text), "0x%02X", static_cast<unsigned char>(bytes[at]));
        return std::string(text);
    };
    return "first differing byte at offset " + std::to_string(at) + ": ReactOS " + byte(reactos) + ", model " +
           byte(model) + " (" + std::to_string(reactos.size()) + " and " + std::to_string(model.size()) +
           " bytes in all)";
}

void WriteScenarioReport(const ScenarioResult& result, std::ostream& out)
{
    const Scenario& scenario = *result.scenario;
    out << "■ " << scenario.name << " (" << scenario.description << "): " << VerdictWords(result) << "\n";
    if (result.notChecked) {
        out << "    " << *result.notChecked << "\n\n";
        return;
    }
    out << "    ReactOS: " << (result.boot.kernelStopped ? "stopped while the driver ran, " : "the driver's line ")
        << result.boot.toDriverLine.count() << " s after power-on, QEMU stopped at " << result.boot.total.count()
        << " s";
    if (result.foreignLinesRemoved > 0) {
        out << "; " << result.foreignLinesRemoved << " line" << (result.foreignLinesRemoved == 1 ? "" : "s")
            << " of other code taken from between the messages";
    }
    out << "\n";
    for (const std::string& line : result.stagerLines) out << "    stager: " << ShowGbk(line) << "\n";
    for (const std::string& line : result.substitutions) out << "    set for the livecd: " << line << "\n";
    if (!result.scriptOutput.empty()) {
        out << "    the install script printed:\n";
        for (size_t at = 0; at < result.scriptOutput.size();) {
            size_t end = std::min(result.scriptOutput.find('\n', at), result.scriptOutput.size());
            std::string line = result.scriptOutput.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out << "      " << ShowGbk(line) << "\n";
            at = end + 1;
        }
    }

    std::vector<Row> messages = MessageRows(result.reactos.messages, result.modelMessages);
    const std::string reactosStatus =
        result.reactos.stop ? "stopped: " + *result.reactos.stop : ShowStatus(result.reactos.status);
    std::vector<Row> status{{reactosStatus, ShowStatus(result.model.status),
                             !result.reactos.stop && result.reactos.status == result.model.status}};
    if (result.reactos.script || result.model.script) {
        status.push_back({"script: " + result.reactos.script.value_or(""),
                          "README.txt: " + result.model.script.value_or(""),
                          result.reactos.script == result.model.script});
    }
    std::vector<Row> disk = DiskRows(result);
    if (!result.reactos.disk && !result.model.disk) disk.push_back({"(no drive C)", "(no drive C)", true});
    if (result.reactos.stop && result.model.disk) {
        // Not compared: the machine stopped before its cache reached the disk.
        for (Row& row : disk) row.same = true;
        disk.insert(disk.begin(), {"(not read: the machine stopped", "", true});
        disk.insert(disk.begin() + 1, {" before its cache reached the disk)", "", true});
    }

    size_t leftWidth = DisplayWidth("ReactOS");
    for (const std::vector<Row>* rows : {&messages, &status, &disk}) {
        for (const Row& row : *rows) leftWidth = std::max(leftWidth, DisplayWidth(row.reactos));
    }
    WriteRows({{"ReactOS", "model (quarnhold-run)", true}}, leftWidth, out);
    WriteRows(messages, leftWidth, out);
    WriteRows(status, leftWidth, out);
    out << "    drive C afterwards:\n";
    WriteRows(disk, leftWidth, out);
    if (!result.modelFailure.empty()) out << "    the model's run failed: " << result.modelFailure << "\n";
    if (std::string where = FirstDifference(result.reactos.messages, result.model.messages); !where.empty()) {
        out << "    messages: " << where << "\n";
    }
    if (!result.judgement.note.empty()) out << "    " << result.judgement.note << "\n";
    out << "\n";
}

CheckSummary Summarize(const std::vector<ScenarioResult>& results)
{
    CheckSummary summary;
    for (const ScenarioResult& result : results) {
        ++summary.byKind.at(static_cast<size_t>(result.scenario->kind));
        if (result.notChecked) {
            ++summary.notChecked;
        } else if (result.judgement.verdict == Verdict::KnownDifference) {
            ++summary.known;
        } else if (Passes(result.judgement.verdict)) {
            ++summary.agree;
        } else {
            ++summary.differ;
        }
    }
    return summary;
}

void WriteSummaryLine(const CheckSummary& summary, std::ostream& out)
{
    int scenarios = summary.agree + summary.known + summary.differ + summary.notChecked;
    long minutes = summary.wallTime.count() / 60, seconds = summary.wallTime.count() % 60;
    std::string kinds;
    for (ScenarioKind kind :
         {ScenarioKind::LaidDisk, ScenarioKind::HeldState, ScenarioKind::VolumeState, ScenarioKind::UserInstall}) {
        const int count = summary.byKind.at(static_cast<size_t>(kind));
        if (count > 0) kinds += (kinds.empty() ? "" : ", ") + std::to_string(count) + " " + std::string(KindName(kind));
    }
    out << "real-kernel check: " << scenarios << " scenario" << (scenarios == 1 ? "" : "s") << " (" << kinds << "), "
        << summary.agree
        << " agree, " << summary.known << " known difference" << (summary.known == 1 ? "" : "s") << ", "
        << summary.differ << " differ, " << summary.notChecked << " not checked (" << summary.boots << " boot"
        << (summary.boots == 1 ? "" : "s") << ", " << summary.jobs << " at a time, QEMU " << summary.accelerator << ", "
        << (minutes > 0 ? std::to_string(minutes) + " min " : "") << seconds << " s)\n";
}

}  // namespace quarnhold::real_kernel
