// pdb_lines.cpp
//
// llvm-symbolizer finds the PDB itself, as a debugger does: the name in the
// image's CodeView record, looked for in the image's folder first. It does
// not check that the PDB belongs to the image, so a stale PDB beside a
// rebuilt image would give wrong lines without a word; llvm-pdbutil reads
// the PDB's GUID and age first, and a PDB that does not match is not used.

#include "tools/pdb_lines.h"

#include <charconv>
#include <future>
#include <nlohmann/json.hpp>
#include <string_view>

#include "emulator/hex_text.h"
#include "tools/helper_process.h"

namespace quarnhold::tools {
namespace {

// The kernel images are linked with -pdbsourcepath:quarnhold
// (cmake/kernel-image/CMakeLists.txt): their sources, compiled by paths
// relative to the checkout, are named below this root in the PDB.
constexpr std::string_view SourceRoot = "quarnhold\\";

const std::string DebianPackage = " (Debian's llvm package has it)";

// Either helper answers in well under a second even on a loaded machine;
// some damaged PDBs send llvm-symbolizer 14 into a loop it never leaves.
constexpr std::chrono::milliseconds HelperTime{10'000};

// The value after "<key>: " on a line of llvm-pdbutil's summary.
std::optional<std::string> SummaryField(const std::string& summary, std::string_view key)
{
    const std::string marker = std::string(key) + ": ";
    for (size_t at = summary.find(marker); at != std::string::npos; at = summary.find(marker, at + 1)) {
        // The key must start its line, after the indent.
        const size_t lineStart = summary.rfind('\n', at);
        const size_t indentEnd = summary.find_first_not_of(' ', lineStart == std::string::npos ? 0 : lineStart + 1);
        if (indentEnd != at) continue;
        const size_t valueStart = at + marker.size();
        const size_t end = summary.find_first_of("\r\n", valueStart);
        return summary.substr(valueStart, end == std::string::npos ? std::string::npos : end - valueStart);
    }
    return std::nullopt;
}

std::string HelperFailure(const std::string& helper, const std::string& what, const HelperRun& run,
                          const HelperLimits& limits)
{
    std::string text = helper + " cannot read " + what + ": it " + DescribeHelperEnd(run, limits);
    if (!run.errorLine.empty()) text += ", saying \"" + run.errorLine + "\"";
    return text;
}

// Why the PDB at `pdb` is not the one `codeView` names, or nothing when it is.
std::optional<std::string> CheckPdbMatches(const std::filesystem::path& pdbutil, const std::filesystem::path& pdb,
                                           const emulator::CodeViewRecord& codeView)
{
    const HelperLimits limits{HelperTime, 64 * 1024};
    // Absolute, so that no name can read as an option.
    const HelperRun run = RunHelper(pdbutil, {"dump", "-summary", std::filesystem::absolute(pdb).string()}, "", limits);
    const std::string name = pdb.filename().string();
    if (run.end != HelperRun::End::Exited || run.code != 0) return HelperFailure("llvm-pdbutil", name, run, limits);
    const std::optional<std::string> guid = SummaryField(run.out, "GUID");
    const std::optional<std::string> age = SummaryField(run.out, "Age");
    if (!guid || !age) return "llvm-pdbutil gave no GUID and age for " + name;
    const std::string wanted = GuidText(codeView.guid);
    if (*guid != wanted || *age != std::to_string(codeView.age)) {
        return name + " beside the image belongs to another build: GUID " + *guid + " age " + *age +
               ", where the image names GUID " + wanted + " age " + std::to_string(codeView.age);
    }
    return std::nullopt;
}

std::optional<uint64_t> ParseHex(std::string_view text)
{
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// llvm-symbolizer's JSON answers for `rvas`, one object a line, one line
// an address, in the order asked; or why they cannot be used.
std::variant<std::map<uint32_t, SourceLine>, std::string> ReadSymbolizerAnswers(const std::string& out,
                                                                                 const std::vector<uint32_t>& rvas,
                                                                                 const std::string& name)
{
    std::map<uint32_t, SourceLine> lines;
    size_t next = 0;
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string_view text(out.data() + start, end - start);
        start = end + 1;
        if (text.find_first_not_of(" \r") == std::string_view::npos) continue;
        const nlohmann::json answer = nlohmann::json::parse(text, nullptr, false);
        if (!answer.is_object() || next >= rvas.size()) return "llvm-symbolizer's answer cannot be read";
        const uint32_t rva = rvas[next++];
        const auto address = answer.find("Address");
        if (address == answer.end() || !address->is_string() || ParseHex(address->get<std::string>()) != rva) {
            return "llvm-symbolizer answered for another address than " + emulator::Hex(rva);
        }
        if (const auto failed = answer.find("Error"); failed != answer.end()) {
            const auto message = failed->is_object() ? failed->find("Message") : failed->end();
            return "llvm-symbolizer cannot read " + name + ": " +
                   (message != failed->end() && message->is_string() ? message->get<std::string>() : "no reason given");
        }
        // The first frame is the innermost: where the call is written, also
        // when its function was inlined into another.
        const auto frames = answer.find("Symbol");
        if (frames == answer.end() || !frames->is_array() || frames->empty() || !frames->front().is_object()) continue;
        const nlohmann::json& frame = frames->front();
        const auto file = frame.find("FileName");
        const auto line = frame.find("Line");
        const auto function = frame.find("FunctionName");
        if (file == frame.end() || !file->is_string() || file->get<std::string>().empty() || line == frame.end() ||
            !line->is_number_unsigned() || line->get<uint64_t>() == 0 || line->get<uint64_t>() > UINT32_MAX) {
            continue;
        }
        lines[rva] = SourceLine{CheckoutPath(file->get<std::string>()), line->get<uint32_t>(),
                                function != frame.end() && function->is_string() ? function->get<std::string>() : ""};
    }
    if (next != rvas.size()) {
        return "llvm-symbolizer answered " + std::to_string(next) + " of " + std::to_string(rvas.size()) + " addresses";
    }
    return lines;
}

}  // namespace

std::optional<std::filesystem::path> PdbBeside(const std::filesystem::path& image,
                                               const std::optional<emulator::CodeViewRecord>& codeView)
{
    if (!codeView) return std::nullopt;
    // As LLVM and the debuggers take it: a path that starts with '/' is a
    // POSIX one; any other may use either separator.
    const std::string& named = codeView->pdbPath;
    const size_t cut = named.find_last_of(named.starts_with('/') ? "/" : "/\\");
    const std::string name = cut == std::string::npos ? named : named.substr(cut + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return image.parent_path() / name;
}

std::variant<std::map<uint32_t, SourceLine>, std::string> LookUpSourceLines(
    const std::filesystem::path& image, const std::optional<emulator::CodeViewRecord>& codeView,
    const std::vector<uint32_t>& rvas)
{
    const std::optional<std::filesystem::path> pdb = PdbBeside(image, codeView);
    if (!pdb) return "the image names no PDB";
    std::error_code error;
    if (!std::filesystem::is_regular_file(*pdb, error)) return "no " + pdb->filename().string() + " beside the image";
    const std::optional<std::filesystem::path> symbolizer = FindProgram("llvm-symbolizer");
    if (!symbolizer) return "llvm-symbolizer is not installed" + DebianPackage;
    const std::optional<std::filesystem::path> pdbutil = FindProgram("llvm-pdbutil");
    if (!pdbutil) return "llvm-pdbutil is not installed" + DebianPackage;

    std::string input;
    for (uint32_t rva : rvas) input += emulator::Hex(rva) + "\n";
    // Generous for any sane name, and a bound on an insane one.
    const HelperLimits limits{HelperTime, 64 * 1024 + 4096 * rvas.size()};
    HelperRun run;
    try {
        // The check and the lookup run side by side: each helper spends
        // most of its short life loading LLVM.
        std::future<std::optional<std::string>> mismatch =
            std::async(std::launch::async, [&] { return CheckPdbMatches(*pdbutil, *pdb, *codeView); });
        run = RunHelper(*symbolizer, {"--obj=" + image.string(), "--relative-address", "--output-style=JSON"}, input,
                        limits);
        if (std::optional<std::string> wrongPdb = mismatch.get()) return *wrongPdb;
    } catch (const std::exception& failure) {
        // A helper that cannot even be started costs the lines, not the run.
        return failure.what();
    }
    const std::string name = pdb->filename().string();
    if (run.end != HelperRun::End::Exited || run.code != 0) return HelperFailure("llvm-symbolizer", name, run, limits);
    return ReadSymbolizerAnswers(run.out, rvas, name);
}

std::string CheckoutPath(const std::string& pdbName)
{
    if (!pdbName.starts_with(SourceRoot)) return pdbName;
    std::string path = pdbName.substr(SourceRoot.size());
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string GuidText(const std::array<uint8_t, 16>& guid)
{
    // Data1, Data2 and Data3 are stored little-endian; Data4 as bytes.
    static constexpr int Order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += "0123456789ABCDEF"[guid[Order[i]] >> 4];
        text += "0123456789ABCDEF"[guid[Order[i]] & 0xF];
    }
    return text + "}";
}

}  // namespace quarnhold::tools
