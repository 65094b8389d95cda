// livecd_remaster.cpp

#include "real_kernel/livecd_remaster.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

#include "real_kernel/child_process.h"

namespace quarnhold::real_kernel {
namespace fs = std::filesystem;
namespace {

struct HiveValue {
    std::string name;
    std::optional<uint32_t> dword;  // a REG_DWORD, or else a string:
    std::string text;
    bool expand = true;  // REG_EXPAND_SZ, as sc.exe writes ImagePath; or REG_SZ
};

// The service key's values, the one list the script and its check are made from.
std::vector<HiveValue> ServiceHiveValues(std::string_view service, std::string_view group)
{
    std::vector<HiveValue> values{{"Type", 1, ""},
                                  {"Start", 2, ""},
                                  {"ErrorControl", 1, ""},
                                  {"ImagePath", std::nullopt, "system32\\drivers\\" + std::string(service) + ".sys"}};
    if (!group.empty()) values.push_back({"Group", std::nullopt, std::string(group), false});
    return values;
}

// Eight lower-case hex digits, as hivexget shows a dword.
std::string Hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}

// ASCII lower case: freeldr.ini's names are matched without regard to case.
std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

// A whole file's bytes; CheckError when it cannot be read.
std::string ReadBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw CheckError("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces a file's bytes; CheckError when it cannot be written.
void WriteBytes(const fs::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw CheckError("cannot write " + file.string());
}

}  // namespace

std::vector<RemasterEdit> RemasterEdits(const LivecdContents& contents)
{
    std::vector<RemasterEdit> edits{
        {"freeldr.ini", "DefaultOS=" + std::string(DebugBootEntry) + ", TimeOut=0"},
        {"loader/isoboot.bin", "never boots the hard disk instead of the CD"},
    };
    if (!contents.services.empty()) {
        std::string services;
        for (const KernelService& service : contents.services) {
            services += (services.empty() ? "" : ", ") + service.name +
                        (service.group.empty() ? "" : " (group " + service.group + ")");
        }
        edits.push_back({"reactos/system32/config/system", "kernel drivers, auto start: " + services});
    }
    for (const KernelService& service : contents.services) {
        edits.push_back({"reactos/system32/drivers/" + service.name + ".sys", "the image of " + service.name + ", added"});
    }
    if (!contents.runAtLogon.empty()) {
        edits.push_back({"reactos/unattend.inf", "UnattendSetupEnabled = yes: the livecd logs on by itself"});
        edits.push_back({"reactos/system32/config/software", "RunOnce: " + contents.runAtLogon});
    }
    return edits;
}

std::string LogOnByItself(std::string_view unattendInf)
{
    std::string text(unattendInf);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        std::string key = Lower(line.substr(0, line.find('=')));
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t\r") + 1);
        if (key == "unattendsetupenabled" && line.find('=') != std::string::npos) {
            const bool crlf = line.ends_with("\r");
            text.replace(start, line.size(), std::string("UnattendSetupEnabled = yes") + (crlf ? "\r" : ""));
            return text;
        }
        start = end + 1;
    }
    throw CheckError("unattend.inf has no UnattendSetupEnabled line: is this a ReactOS livecd?");
}

std::string RunOnceHiveScript(std::string_view command)
{
    return "cd \\Microsoft\\Windows\\CurrentVersion\\RunOnce\nsetval 1\nquarnhold-install\nstring:" +
           std::string(command) + "\ncommit\n";
}

std::string BootStraightToDebugEntry(std::string_view freeldrIni)
{
    const std::string lineEnd = freeldrIni.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    std::vector<std::string> lines;
    for (size_t start = 0; start < freeldrIni.size();) {
        size_t end = freeldrIni.find('\n', start);
        if (end == std::string_view::npos) end = freeldrIni.size();
        std::string line(freeldrIni.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }

    const std::string debugSection = "[" + Lower(DebugBootEntry) + "]";
    bool hasDebugEntry = false;
    std::optional<size_t> loaderEnd;  // the loader section's last line with text
    std::string section;
    std::array<bool, 2> set{false, false};
    const std::array<std::string, 2> keys{"defaultos", "timeout"};
    const std::array<std::string, 2> values{"DefaultOS=" + std::string(DebugBootEntry), "TimeOut=0"};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string lower = Lower(lines[i]);
        if (lower.starts_with("[")) {
            section = lower.substr(0, lower.find(']') + 1);
            if (section == "[freeloader]") loaderEnd = i;
            if (section == debugSection) hasDebugEntry = true;
            continue;
        }
        if (section != "[freeloader]") continue;
        if (lower.find_first_not_of(" \t") != std::string::npos) loaderEnd = i;
        size_t equals = lower.find('=');
        if (equals == std::string::npos) continue;
        std::string key = lower.substr(0, equals);
        key.erase(key.find_last_not_of(" \t") + 1);
        for (size_t k = 0; k < keys.size(); ++k) {
            if (key == keys[k]) {
                lines[i] = values[k];
                set[k] = true;
            }
        }
    }
    if (!loaderEnd) throw CheckError("freeldr.ini has no [FREELOADER] section: is this a ReactOS livecd?");
    if (!hasDebugEntry) {
        throw CheckError("freeldr.ini has no [" + std::string(DebugBootEntry) +
                         "] boot entry: the check needs a ReactOS Debug livecd");
    }
    // A key the section lacks goes at its end.
    for (size_t k = keys.size(); k-- > 0;) {
        if (!set[k]) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*loaderEnd) + 1, values[k]);
    }

    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        result += lines[i];
        if (i + 1 < lines.size() || freeldrIni.ends_with("\n")) result += lineEnd;
    }
    return result;
}

std::vector<uint8_t> NeverBootHardDisk(std::vector<uint8_t> isoboot)
{
    const std::array<uint8_t, 4> compareAndBranch{0x3D, 0x55, 0xAA, 0x75};
    auto first = std::search(isoboot.begin(), isoboot.end(), compareAndBranch.begin(), compareAndBranch.end());
    if (first == isoboot.end()) {
        throw CheckError("loader/isoboot.bin holds no 3D 55 AA 75 (the boot-signature test): unknown boot sector");
    }
    if (std::search(first + 1, isoboot.end(), compareAndBranch.begin(), compareAndBranch.end()) != isoboot.end()) {
        throw CheckError("loader/isoboot.bin holds 3D 55 AA 75 more than once: unknown boot sector");
    }
    first[3] = 0xEB;  // jne -> jmp: past the hand-over, whatever the disk holds
    return isoboot;
}

std::map<std::string, std::string> ServiceValues(std::string_view service, std::string_view group)
{
    std::map<std::string, std::string> values;
    for (const HiveValue& value : ServiceHiveValues(service, group)) {
        values[value.name] = value.dword   ? "dword:" + Hex8(*value.dword)
                             : value.expand ? "str(2):" + value.text
                                            : value.text;
    }
    return values;
}

std::string ServiceHiveScript(std::string_view service, std::string_view group)
{
    std::vector<HiveValue> values = ServiceHiveValues(service, group);
    std::string script = "cd \\ControlSet001\\Services\nadd " + std::string(service) + "\ncd " + std::string(service) +
                         "\nsetval " + std::to_string(values.size()) + "\n";
    for (const HiveValue& value : values) {
        script += value.name + "\n";
        script += value.dword    ? "dword:0x" + Hex8(*value.dword) + "\n"
                  : value.expand ? "expandstring:" + value.text + "\n"
                                 : "string:" + value.text + "\n";
    }
    return script + "commit\n";
}

std::map<std::string, std::string> ParseHiveValues(std::string_view listing)
{
    std::map<std::string, std::string> values;
    for (size_t start = 0; start < listing.size();) {
        size_t end = listing.find('\n', start);
        if (end == std::string_view::npos) end = listing.size();
        std::string_view line = listing.substr(start, end - start);
        start = end + 1;
        size_t nameEnd = line.find("\"=");
        if (!line.starts_with("\"") || nameEnd == std::string_view::npos) continue;
        std::string name(line.substr(1, nameEnd - 1));
        std::string value(line.substr(nameEnd + 2));
        // str(2):"system32\\drivers\\x.sys" -> str(2):system32\drivers\x.sys; "Base" -> Base
        size_t quote = value.find('"');
        if (quote != std::string::npos && value.size() >= quote + 2 && value.ends_with("\"")) {
            std::string text;
            for (size_t i = quote + 1; i + 1 < value.size(); ++i) {
                if (value[i] == '\\' && i + 2 < value.size()) ++i;
                text += value[i];
            }
            value = value.substr(0, quote) + text;
        }
        values[name] = value;
    }
    return values;
}

fs::path RemasterLivecd(const fs::path& iso, const LivecdContents& contents, const fs::path& scratch,
                        const std::function<void(const std::string&)>& progress)
{
    fs::create_directories(scratch);
    fs::path plainIso = iso;
    if (iso.extension() == ".xz") {
        plainIso = scratch / "livecd.iso";
        progress("unpacking " + iso.filename().string());
        RunOrThrow({"xz", "-dc", iso.string()}, {.outputFile = plainIso});
    }

    progress("extracting the livecd's files");
    const fs::path tree = scratch / "livecd";
    fs::remove_all(tree);
    // "stdio:" lets the ISO sit anywhere: xorriso takes a bare path under /dev
    // (a TMPDIR in /dev/shm) for an optical drive, and refuses it.
    RunOrThrow({"osirrox", "-indev", "stdio:" + plainIso.string(), "-extract", "/", tree.string()});
    RunOrThrow({"chmod", "-R", "u+w", tree.string()});
    if (plainIso != iso) fs::remove(plainIso);
    const std::vector<RemasterEdit> edits = RemasterEdits(contents);
    for (const RemasterEdit& edit : edits) {
        fs::path parent = (tree / edit.isoPath).parent_path();
        if (!fs::is_directory(parent)) {
            throw CheckError(iso.string() + " is not a ReactOS livecd: it has no " +
                             parent.lexically_relative(tree).generic_string() + " folder");
        }
    }

    const fs::path freeldr = tree / "freeldr.ini", isoboot = tree / "loader/isoboot.bin";
    WriteBytes(freeldr, BootStraightToDebugEntry(ReadBytes(freeldr)));
    std::string boot = ReadBytes(isoboot);
    std::vector<uint8_t> patched = NeverBootHardDisk(std::vector<uint8_t>(boot.begin(), boot.end()));
    WriteBytes(isoboot, std::string(patched.begin(), patched.end()));

    const fs::path hive = tree / "reactos/system32/config/system";
    for (const KernelService& service : contents.services) {
        progress("adding " + service.name + ".sys as an auto-start kernel service" +
                 (service.group.empty() ? "" : " in the group " + service.group));
        const fs::path script = scratch / (service.name + ".hivexsh");
        WriteBytes(script, ServiceHiveScript(service.name, service.group));
        RunOrThrow({"hivexsh", "-w", "-f", script.string(), hive.string()});
        std::string listing = RunOrThrow({"hivexget", hive.string(), "\\ControlSet001\\Services\\" + service.name});
        if (ParseHiveValues(listing) != ServiceValues(service.name, service.group)) {
            throw CheckError("the service key hivexsh wrote reads back otherwise: " + listing);
        }
        fs::copy_file(service.image, tree / ("reactos/system32/drivers/" + service.name + ".sys"),
                      fs::copy_options::overwrite_existing);
    }

    if (!contents.runAtLogon.empty()) {
        progress("logging on by itself, and running " + contents.runAtLogon + " once at logon");
        const fs::path unattend = tree / "reactos/unattend.inf", software = tree / "reactos/system32/config/software";
        WriteBytes(unattend, LogOnByItself(ReadBytes(unattend)));
        const fs::path script = scratch / "runonce.hivexsh";
        WriteBytes(script, RunOnceHiveScript(contents.runAtLogon));
        RunOrThrow({"hivexsh", "-w", "-f", script.string(), software.string()});
        std::string listing = RunOrThrow({"hivexget", software.string(), "\\Microsoft\\Windows\\CurrentVersion\\RunOnce"});
        if (ParseHiveValues(listing)["quarnhold-install"] != contents.runAtLogon) {
            throw CheckError("the RunOnce value hivexsh wrote reads back otherwise: " + listing);
        }
    }

    progress("building the remastered ISO");
    const fs::path remastered = scratch / "reactos-remastered.iso";
    RunOrThrow({"genisoimage", "-quiet", "-iso-level", "4", "-V", "ReactOS", "-b", "loader/isoboot.bin",
                "-no-emul-boot", "-boot-load-size", "4", "-hide", "boot.catalog", "-o", remastered.string(),
                tree.string()});
    fs::remove_all(tree);
    return remastered;
}

}  // namespace quarnhold::real_kernel
