// run_options.cpp

#include "tools/run_options.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tools/fault_option.h"

namespace quarnhold::tools {

const char* const RunUsage =
    "usage: quarnhold-run [--drive-c DIR | --no-drive-c | --start-disk NAME] [--keep-drive-c] [--write-protected]\n"
    "                     [--file-system ntfs|fat] [--fault ROUTINE#N=STATUS]... [--raw] [--json]\n"
    "                     [--stats] [--trace] [--] IMAGE\n"
    "       quarnhold-run --sweep [--single-faults] [--sweep-on-folder] [--start-disk NAME]...\n"
    "                     [--file-system ntfs|fat] [--fault-call ROUTINE[#N]]... [--fault-status STATUS]...\n"
    "                     [--max-failures N|all] [--list-runs] [--json] [--] IMAGE\n"
    "       quarnhold-run --help | --version | --start-disk list\n"
    "\n"
    "Loads the kernel driver IMAGE (i386 or amd64) as the NT loader would, calls\n"
    "its DriverEntry on an emulated CPU of its machine over a model of the\n"
    "kernel, shows what the kernel would have seen, and ends with the verdict:\n"
    "the rules of a sound run the sweep checks, each held or broken.\n"
    "\n"
    "  --drive-c DIR      the folder that stands in for drive C (default: a fresh\n"
    "                     scratch folder, removed afterwards)\n"
    "  --keep-drive-c     keep the fresh scratch drive C after the run; the report\n"
    "                     says where it is\n"
    "  --no-drive-c       run with no \\??\\c: link at all\n"
    "  --write-protected  drive C refuses to create anything or to write\n"
    "  --file-system ntfs|fat\n"
    "                     what drive C is formatted with (default ntfs); they\n"
    "                     refuse a few calls with different statuses\n"
    "  --start-disk NAME  start from one of the sweep's starting disks, laid down on\n"
    "                     a fresh scratch drive C (--start-disk list names them)\n"
    "  --fault ROUTINE#N=STATUS\n"
    "                     the N-th call (counting from 1) of ZwCreateFile,\n"
    "                     ZwWriteFile or ZwClose returns STATUS instead, in hex or\n"
    "                     by name (0xC000007F or STATUS_DISK_FULL; not 0); a\n"
    "                     success status (below 0x80000000) comes after the call\n"
    "                     did its work, with the handle of a create;\n"
    "                     ZwCreateFile#N=info:VALUE makes a successful create\n"
    "                     report that Information; once per call, as often as\n"
    "                     wanted; a fault that never takes effect fails the run\n"
    "  --raw              write the debug messages' exact GBK bytes to standard\n"
    "                     output, one per line; the report goes to standard error\n"
    "  --json             one JSON record of the run on standard output (an error\n"
    "                     record when the run cannot be made)\n"
    "  --stats            guest instructions, peak stack use and time\n"
    "  --trace            every kernel call with its arguments and outcome, and\n"
    "                     the line of the driver that made it (from the PDB\n"
    "                     beside the image, read with LLVM's llvm-symbolizer)\n"
    "\n"
    "  --sweep            run the image from every starting disk of the test bed,\n"
    "                     on NTFS and on FAT, once as the kernel answers, then\n"
    "                     with every failure of every kernel call and every\n"
    "                     pair of them, and check the rules of a sound run\n"
    "                     after each; failed runs are shown in groups, by the\n"
    "                     calls faulted and the rules broken, each with the\n"
    "                     command that repeats it; a progress bar shows on a\n"
    "                     terminal\n"
    "  --single-faults    sweep one fault per run only\n"
    "  --sweep-on-folder  lay each run's drive C on a scratch folder rather than\n"
    "                     in memory: slower, and the host's file work is swept too\n"
    "  with --sweep, these narrow it to some of its runs:\n"
    "  --start-disk NAME  from this starting disk; given again, from each given\n"
    "  --file-system ntfs|fat\n"
    "                     on this file system only\n"
    "  --fault-call ROUTINE[#N]\n"
    "                     the runs that fault ROUTINE (ZwCreateFile, ZwWriteFile,\n"
    "                     ZwClose), or only its N-th call; given again, any of\n"
    "                     them\n"
    "  --fault-status STATUS\n"
    "                     the runs that inject STATUS, in hex or by name; given\n"
    "                     again, any of them; with --fault-call, on that call\n"
    "  --max-failures N|all\n"
    "                     also list the first N failed runs one by one, or all\n"
    "                     (default: none; with --json, all)\n"
    "  --list-runs        list the runs the sweep would check, one per line, as\n"
    "                     the options that make each alone, and check none\n"
    "\n"
    "  --help, -h         this text\n"
    "  --version          quarnhold-run's version\n"
    "  --                 what follows is IMAGE, even when it starts with -\n"
    "\n"
    "A value may also follow its option after an equals sign: --drive-c=DIR.\n"
    "Options other than --fault, --fault-call, --fault-status and a sweep's\n"
    "--start-disk are given once.\n"
    "\n"
    "Exit status: 0 when DriverEntry returned and the run held every rule, or\n"
    "when every run of a sweep did; 1 when the image cannot be loaded, the\n"
    "guest faults (the emulator dying included), the kernel bug-checks, the\n"
    "run breaks a rule (a kernel rule, a handle left open, a --fault that\n"
    "never takes effect, a message that does not match the kernel's answer,\n"
    "...), a sweep run breaks one, the host fails the test bed (a test-bed\n"
    "error: drive C not writable, a disk full), or the report cannot be\n"
    "written; 2 for bad arguments, a sweep filter that matches no run\n"
    "included; 130, 143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP,\n"
    "with every scratch folder removed.\n";

const char* const RunVersion = "quarnhold-run " QUARNHOLD_VERSION;

namespace {

// An option of the command line: a flag, or one that takes a value, given
// as "--name VALUE" or "--name=VALUE".
struct OptionDefinition {
    std::string_view name;
    std::string_view valueName;  // empty for a flag
    bool repeatable = false;     // may be given more than once
    // Stores the option; returns why the value cannot be used, if it cannot.
    std::optional<std::string> (*apply)(RunOptions& options, const std::string& value);
};

std::optional<std::string> AddFault(RunOptions& options, const std::string& value)
{
    auto fault = ParseFaultOption(value);
    if (const std::string* reason = std::get_if<std::string>(&fault)) return *reason;
    const auto& added = std::get<testbed::InjectedFault>(fault);
    for (const testbed::InjectedFault& given : options.faults) {
        if (given.routine == added.routine && given.occurrence == added.occurrence) {
            // The model takes the first fault for a call; a second would be
            // silently ignored.
            return "--fault: " + std::string(testbed::RoutineName(added.routine)) + " #" +
                   std::to_string(added.occurrence) + " is faulted twice (" + FaultOption(given) + " and " + value +
                   "); a call can take one fault";
        }
    }
    options.faults.push_back(added);
    return std::nullopt;
}

// A flag's OptionDefinition::apply: sets the member.
template <bool RunOptions::*Flag>
std::optional<std::string> SetFlag(RunOptions& options, const std::string&)
{
    options.*Flag = true;
    return std::nullopt;
}

// --fault-call ROUTINE or ROUTINE#N, added to the calls a sweep keeps.
std::optional<std::string> AddFaultCall(RunOptions& options, const std::string& value)
{
    auto call = ParseFaultCall(value);
    if (const std::string* reason = std::get_if<std::string>(&call)) return *reason;
    options.faultCalls.push_back(std::get<fault_sweep::FaultedCall>(call));
    return std::nullopt;
}

// --fault-status STATUS, added to the statuses a sweep keeps.
std::optional<std::string> AddFaultStatus(RunOptions& options, const std::string& value)
{
    auto status = ParseStatusOption(value, "--fault-status");
    if (const std::string* reason = std::get_if<std::string>(&status)) return *reason;
    options.faultStatuses.push_back(std::get<testbed::NtStatus>(status));
    return std::nullopt;
}

// --max-failures N or all: how many failed runs a sweep lists one by one.
std::optional<std::string> SetMaxFailures(RunOptions& options, const std::string& value)
{
    if (value == "all") {
        options.maxFailures = SIZE_MAX;
        return std::nullopt;
    }
    size_t count = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        return "--max-failures takes a number or all, not " + value;
    }
    options.maxFailures = count;
    return std::nullopt;
}

const OptionDefinition Options[] = {
    {"--drive-c", "a folder", false,
     [](RunOptions& o, const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return "--drive-c needs a folder";
         o.driveC = v;
         return std::nullopt;
     }},
    {"--keep-drive-c", "", false,
     [](RunOptions& o, const std::string&) { return o.keepDriveC = true, std::optional<std::string>(); }},
    {"--no-drive-c", "", false,
     [](RunOptions& o, const std::string&) { return o.noDriveC = true, std::optional<std::string>(); }},
    {"--write-protected", "", false,
     [](RunOptions& o, const std::string&) { return o.writeProtected = true, std::optional<std::string>(); }},
    {"--file-system", "ntfs or fat", false,
     [](RunOptions& o, const std::string& v) -> std::optional<std::string> {
         o.fileSystemGiven = true;
         if (v == "ntfs") {
             o.fileSystem = testbed::FileSystem::Ntfs;
         } else if (v == "fat") {
             o.fileSystem = testbed::FileSystem::Fat;
         } else {
             return "--file-system takes ntfs or fat, not " + v;
         }
         return std::nullopt;
     }},
    // Once for a run, as often as wanted for a sweep: checked below.
    {"--start-disk", "a name", true,
     [](RunOptions& o, const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return "--start-disk needs a name";
         if (std::find(o.startDisks.begin(), o.startDisks.end(), v) != o.startDisks.end()) {
             return "--start-disk is given twice with " + v;
         }
         o.startDisks.push_back(v);
         return std::nullopt;
     }},
    {"--fault", "ROUTINE#N=STATUS", true, AddFault},
    {"--raw", "", false, [](RunOptions& o, const std::string&) { return o.raw = true, std::optional<std::string>(); }},
    {"--json", "", false,
     [](RunOptions& o, const std::string&) { return o.json = true, std::optional<std::string>(); }},
    {"--stats", "", false,
     [](RunOptions& o, const std::string&) { return o.stats = true, std::optional<std::string>(); }},
    {"--trace", "", false,
     [](RunOptions& o, const std::string&) { return o.trace = true, std::optional<std::string>(); }},
    {"--sweep", "", false,
     [](RunOptions& o, const std::string&) { return o.sweep = true, std::optional<std::string>(); }},
    {"--single-faults", "", false,
     [](RunOptions& o, const std::string&) { return o.singleFaults = true, std::optional<std::string>(); }},
    {"--sweep-on-folder", "", false,
     [](RunOptions& o, const std::string&) { return o.sweepOnFolder = true, std::optional<std::string>(); }},
    {"--fault-call", "ROUTINE or ROUTINE#N", true, AddFaultCall},
    {"--fault-status", "a status", true, AddFaultStatus},
    {"--max-failures", "a number or all", false, SetMaxFailures},
    {"--list-runs", "", false, SetFlag<&RunOptions::listRuns>},
    {"--help", "", true, [](RunOptions& o, const std::string&) { return o.help = true, std::optional<std::string>(); }},
    {"-h", "", true, [](RunOptions& o, const std::string&) { return o.help = true, std::optional<std::string>(); }},
    {"--version", "", true,
     [](RunOptions& o, const std::string&) { return o.version = true, std::optional<std::string>(); }},
};

const OptionDefinition* FindOption(std::string_view name)
{
    for (const OptionDefinition& definition : Options) {
        if (definition.name == name) return &definition;
    }
    return nullptr;
}

}  // namespace

std::variant<RunOptions, std::string> ParseRunOptions(const std::vector<std::string>& arguments)
{
    RunOptions options;
    std::vector<std::string> images;
    std::vector<std::string_view> given;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            images.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value"; a single-dash option never takes one.
        const size_t equals = argument.rfind("--", 0) == 0 ? argument.find('=') : std::string::npos;
        const std::string name = argument.substr(0, equals);
        const OptionDefinition* option = FindOption(name);
        if (option == nullptr) return "unknown option " + name;
        std::string value;
        if (option->valueName.empty()) {
            if (equals != std::string::npos) return name + " takes no value";
        } else if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return name + " needs " + std::string(option->valueName);
        }
        if (!option->repeatable && !option->valueName.empty() &&
            std::find(given.begin(), given.end(), option->name) != given.end()) {
            return name + " is given twice; give it once";
        }
        given.push_back(option->name);
        if (std::optional<std::string> reason = option->apply(options, value)) return *reason;
    }
    if (options.help || options.version) return options;
    if (ListsStartingDisks(options) && images.empty()) return options;
    if (images.size() != 1) {
        return images.empty() ? std::string("no image given") : std::string("more than one image given");
    }
    if (options.raw && options.json) return std::string("--raw and --json cannot be combined");
    if (options.noDriveC && (options.driveC || options.writeProtected)) {
        return std::string("--no-drive-c cannot be combined with --drive-c or --write-protected");
    }
    const std::pair<bool, const char*> sweepOnly[] = {
        {options.singleFaults, "--single-faults"},           {options.sweepOnFolder, "--sweep-on-folder"},
        {!options.faultCalls.empty(), "--fault-call"},       {!options.faultStatuses.empty(), "--fault-status"},
        {options.maxFailures.has_value(), "--max-failures"}, {options.listRuns, "--list-runs"},
    };
    for (const auto& [isGiven, name] : sweepOnly) {
        if (isGiven && !options.sweep) return std::string(name) + " needs --sweep";
    }
    if (options.startDisks.size() > 1 && !options.sweep) {
        return std::string("--start-disk is given twice; a run starts from one disk (a --sweep from several)");
    }
    if (options.keepDriveC && (options.driveC || options.noDriveC || options.sweep)) {
        return std::string(
            "--keep-drive-c keeps a fresh scratch drive C: it cannot be combined with --drive-c, "
            "--no-drive-c or --sweep");
    }
    if (!options.startDisks.empty() && (options.driveC || options.noDriveC || options.writeProtected)) {
        return std::string(
            "--start-disk lays down its own drive C: it cannot be combined with --drive-c, "
            "--no-drive-c or --write-protected");
    }
    if (options.noDriveC && options.fileSystemGiven) {
        return std::string("--no-drive-c leaves no drive C to format: it cannot be combined with --file-system");
    }
    if (options.sweep) {
        const std::pair<bool, const char*> notForSweep[] = {
            {options.driveC.has_value(), "--drive-c"},
            {options.noDriveC, "--no-drive-c"},
            {options.writeProtected, "--write-protected"},
            {!options.faults.empty(), "--fault"},
            {options.raw, "--raw"},
            {options.stats, "--stats"},
            {options.trace, "--trace"},
        };
        for (const auto& [isGiven, name] : notForSweep) {
            if (isGiven) {
                return "--sweep makes its own drives C and faults: it cannot be combined with " + std::string(name);
            }
        }
    }
    if (options.maxFailures && options.listRuns) {
        return std::string("--max-failures lists failed runs, and --list-runs makes none");
    }
    options.image = images.front();
    return options;
}

bool AsksForJson(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        if (argument == "--") return false;
        if (argument == "--json") return true;
    }
    return false;
}

bool ListsStartingDisks(const RunOptions& options)
{
    return options.startDisks == std::vector<std::string>{"list"};
}

}  // namespace quarnhold::tools
