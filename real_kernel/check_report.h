// check_report.h
//
// The report a person reads: each scenario's messages, DriverEntry's status
// and disk afterwards, ReactOS on the left and the model on the right, a
// mark on every row that differs, the verdict, and one summary line.

#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "real_kernel/comparison.h"
#include "real_kernel/qemu_boot.h"
#include "real_kernel/scenarios.h"

namespace quarnhold::real_kernel {

struct ScenarioResult {
    const Scenario* scenario = nullptr;
    std::optional<std::string> notChecked;  // why the scenario could not be checked
    Answer reactos;
    std::vector<std::string> reactosAttributes;  // FAT attribute letters, one per item of reactos.disk
    Answer model;
    std::vector<std::string> modelMessages;  // the model's messages one by one (GBK)
    std::string modelFailure;                // quarnhold-run's reason, when its run failed
    Judgement judgement;
    BootTimes boot;
    int foreignLinesRemoved = 0;
    std::vector<std::string> stagerLines;  // what the held-state stager said it holds
    std::vector<std::string> substitutions;  // what the user's own path sets because the livecd forces it
    std::string scriptOutput;                // what the install script printed, on the user's own path
};

// One row of a side-by-side table, as UTF-8 text.
struct Row {
    std::string reactos;
    std::string model;
    bool same = true;

    bool operator==(const Row&) const = default;
};

// Columns on a terminal: 2 for East Asian wide characters, 1 for the rest.
size_t DisplayWidth(std::string_view utf8);

// GBK bytes as UTF-8, with control characters shown as escapes.
std::string ShowGbk(std::string_view gbk);

// ReactOS's concatenated bytes beside the model's messages: split where the
// model's messages match from the front and from the back; what is left in
// the middle differs.
std::vector<Row> MessageRows(std::string_view reactos, const std::vector<std::string>& model);

// The two disks item by item, by path.
std::vector<Row> DiskRows(const ScenarioResult& result);

// Where two byte strings first differ, in words, or "" when they are equal.
std::string FirstDifference(std::string_view reactos, std::string_view model);

void WriteScenarioReport(const ScenarioResult& result, std::ostream& out);

struct CheckSummary {
    // Scenarios of each kind, in ScenarioKind's order.
    std::array<int, 4> byKind{};
    int agree = 0;
    int known = 0;
    int differ = 0;
    int notChecked = 0;
    int boots = 0;
    int jobs = 1;
    std::string accelerator;
    std::chrono::seconds wallTime{0};
};

CheckSummary Summarize(const std::vector<ScenarioResult>& results);
void WriteSummaryLine(const CheckSummary& summary, std::ostream& out);

}  // namespace quarnhold::real_kernel
