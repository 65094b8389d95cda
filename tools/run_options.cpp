// run_options.cpp

#include "tools/run_options.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "tools/fault_option.h"

namespace quarnhold::tools {

const char* const RunUsage =
    "usage: quarnhold-run [--drive-c DIR | --no-drive-c | --start-disk NAME] [--keep-drive-c] [--write-protected]\n"
    "                     [--file-system ntfs|fat] [--fault ROUTINE#N=STATUS]... [--raw] [--json]\n"
    "                     [--stats] [--trace] [--] IMAGE\n"
    "       quarnhold-run --sweep [--single-faults] [--sweep-on-folder] [--json] [--] IMAGE\n"
    "       quarnhold-run --help | --version | --start-disk list\n"
    "\n"
    "Loads the kernel driver IMAGE (i386 or amd64) as the NT loader would, calls\n"
    "its DriverEntry on an emulated CPU of its machine over a model of the\n"
    "kernel, and shows what the kernel would have seen.\n"
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
    "                     the N-th call of ZwCreateFile, ZwWriteFile or ZwClose\n"
    "                     returns STATUS (hex, not 0) instead; a success status\n"
    "                     (below 0x80000000) comes after the call did its work,\n"
    "                     with the handle of a create; ZwCreateFile#N=info:VALUE\n"
    "                     makes a successful create report that Information;\n"
    "                     once per call, as often as wanted; a fault that never\n"
    "                     takes effect fails the run\n"
    "  --raw              write the debug messages' exact GBK bytes to standard\n"
    "                     output, one per line; the report goes to standard error\n"
    "  --json             one JSON record of the run on standard output\n"
    "  --stats            guest instructions, peak stack use and time\n"
    "  --trace            every kernel call with its arguments and outcome\n"
    "\n"
    "  --sweep            run the image from every starting disk of the test bed,\n"
    "                     on NTFS and on FAT, once as the kernel answers, then\n"
    "                     with every failure of every kernel call and every\n"
    "                     pair of them, and check the rules of a sound run\n"
    "                     after each; a progress bar shows on a terminal\n"
    "  --single-faults    sweep one fault per run only; a failed run is shown with\n"
    "                     the --start-disk and --fault options that repeat it\n"
    "  --sweep-on-folder  lay each run's drive C on a scratch folder rather than\n"
    "                     in memory: slower, and the host's file work is swept too\n"
    "\n"
    "  --help, -h         this text\n"
    "  --version          quarnhold-run's version\n"
    "  --                 what follows is IMAGE, even when it starts with -\n"
    "\n"
    "A value may also follow its option after an equals sign: --drive-c=DIR.\n"
    "Options other than --fault are given once.\n"
    "\n"
    "Exit status: 0 when DriverEntry returned, whatever it returned, or when\n"
    "every run of a sweep held every rule; 1 when the image cannot be loaded,\n"
    "the guest faults (the emulator dying included), the kernel bug-checks, a\n"
    "kernel rule is broken, a --fault never takes effect, a sweep run breaks a\n"
    "rule, the host fails the test bed (a test-bed error: drive C not\n"
    "writable, a disk full), or the report cannot be written; 2 for bad\n"
    "arguments; 130, 143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP,\n"
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
         if (v == "ntfs") {
             o.fileSystem = testbed::FileSystem::Ntfs;
         } else if (v == "fat") {
             o.fileSystem = testbed::FileSystem::Fat;
         } else {
             return "--file-system takes ntfs or fat, not " + v;
         }
         return std::nullopt;
     }},
    {"--start-disk", "a name", false,
     [](RunOptions& o, const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return "--start-disk needs a name";
         o.startDisk = v;
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
    const bool fileSystemGiven = std::find(given.begin(), given.end(), "--file-system") != given.end();
    if (options.help || options.version) return options;
    if (options.startDisk && *options.startDisk == "list" && images.empty()) return options;
    if (images.size() != 1) {
        return images.empty() ? std::string("no image given") : std::string("more than one image given");
    }
    if (options.raw && options.json) return std::string("--raw and --json cannot be combined");
    if (options.noDriveC && (options.driveC || options.writeProtected)) {
        return std::string("--no-drive-c cannot be combined with --drive-c or --write-protected");
    }
    if (options.singleFaults && !options.sweep) return std::string("--single-faults needs --sweep");
    if (options.sweepOnFolder && !options.sweep) return std::string("--sweep-on-folder needs --sweep");
    if (options.keepDriveC && (options.driveC || options.noDriveC || options.sweep)) {
        return std::string(
            "--keep-drive-c keeps a fresh scratch drive C: it cannot be combined with --drive-c, "
            "--no-drive-c or --sweep");
    }
    if (options.startDisk && (options.driveC || options.noDriveC || options.writeProtected)) {
        return std::string(
            "--start-disk lays down its own drive C: it cannot be combined with --drive-c, "
            "--no-drive-c or --write-protected");
    }
    if (options.noDriveC && fileSystemGiven) {
        return std::string("--no-drive-c leaves no drive C to format: it cannot be combined with --file-system");
    }
    if (options.sweep &&
        (options.driveC || options.noDriveC || options.writeProtected || options.raw || options.stats ||
         options.trace || options.startDisk || !options.faults.empty() || fileSystemGiven)) {
        return std::string(
            "--sweep makes its own drives C and takes only --single-faults, --sweep-on-folder and --json");
    }
    options.image = images.front();
    return options;
}

}  // namespace quarnhold::tools
