// run_options.cpp

#include "tools/run_options.h"

#include "tools/fault_option.h"

namespace quarnhold::tools {

const char* const RunUsage =
    "usage: quarnhold-run [--drive-c DIR | --no-drive-c | --start-disk NAME] [--keep-drive-c] [--write-protected]\n"
    "                     [--file-system ntfs|fat] [--fault ROUTINE#N=STATUS]... [--raw] [--json]\n"
    "                     [--stats] [--trace] IMAGE\n"
    "       quarnhold-run --sweep [--single-faults] [--json] IMAGE\n"
    "\n"
    "Loads the kernel driver IMAGE as the NT loader would, calls its DriverEntry\n"
    "on an emulated i386 CPU over a model of the kernel, and shows what the\n"
    "kernel would have seen.\n"
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
    "                     returns STATUS (hex) instead; a success status (below\n"
    "                     0x80000000) comes after the call did its work, with\n"
    "                     the handle of a create; ZwCreateFile#N=info:VALUE\n"
    "                     makes a successful create report that Information;\n"
    "                     may be given more than once\n"
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
    "\n"
    "Exit status: 0 when DriverEntry returned, whatever it returned, or when\n"
    "every run of a sweep held every rule; 1 when the image cannot be loaded,\n"
    "the guest faults, the kernel bug-checks, a kernel rule is broken, a sweep\n"
    "run breaks a rule, the host fails the test bed (a test-bed error: drive C\n"
    "not writable, a disk full), or the report cannot be written; 2 for bad\n"
    "arguments; 130, 143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP,\n"
    "with every scratch folder removed.\n";

std::variant<RunOptions, std::string> ParseRunOptions(const std::vector<std::string>& arguments)
{
    RunOptions options;
    std::vector<std::string> images;
    bool fileSystemGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--drive-c") {
            if (i + 1 == arguments.size()) return std::string("--drive-c needs a folder");
            options.driveC = arguments[++i];
        } else if (argument.rfind("--drive-c=", 0) == 0) {
            options.driveC = argument.substr(10);
        } else if (argument == "--keep-drive-c") {
            options.keepDriveC = true;
        } else if (argument == "--no-drive-c") {
            options.noDriveC = true;
        } else if (argument == "--write-protected") {
            options.writeProtected = true;
        } else if (argument == "--file-system" || argument.rfind("--file-system=", 0) == 0) {
            std::string value;
            if (argument == "--file-system") {
                if (i + 1 == arguments.size()) return std::string("--file-system needs ntfs or fat");
                value = arguments[++i];
            } else {
                value = argument.substr(14);
            }
            if (value == "ntfs") {
                options.fileSystem = testbed::FileSystem::Ntfs;
            } else if (value == "fat") {
                options.fileSystem = testbed::FileSystem::Fat;
            } else {
                return "--file-system takes ntfs or fat, not " + value;
            }
            fileSystemGiven = true;
        } else if (argument == "--raw") {
            options.raw = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--stats") {
            options.stats = true;
        } else if (argument == "--trace") {
            options.trace = true;
        } else if (argument == "--start-disk") {
            if (i + 1 == arguments.size()) return std::string("--start-disk needs a name");
            options.startDisk = arguments[++i];
        } else if (argument == "--fault") {
            if (i + 1 == arguments.size()) return std::string("--fault needs ROUTINE#N=STATUS");
            auto fault = ParseFaultOption(arguments[++i]);
            if (const std::string* reason = std::get_if<std::string>(&fault)) return *reason;
            options.faults.push_back(std::get<testbed::InjectedFault>(fault));
        } else if (argument == "--sweep") {
            options.sweep = true;
        } else if (argument == "--single-faults") {
            options.singleFaults = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return "unknown option " + argument;
        } else {
            images.push_back(argument);
        }
    }
    if (options.help) return options;
    if (options.startDisk && *options.startDisk == "list" && images.empty()) return options;
    if (images.size() != 1) {
        return images.empty() ? std::string("no image given") : std::string("more than one image given");
    }
    if (options.raw && options.json) return std::string("--raw and --json cannot be combined");
    if (options.noDriveC && (options.driveC || options.writeProtected)) {
        return std::string("--no-drive-c cannot be combined with --drive-c or --write-protected");
    }
    if (options.driveC && options.driveC->empty()) return std::string("--drive-c needs a folder");
    if (options.singleFaults && !options.sweep) return std::string("--single-faults needs --sweep");
    if (options.keepDriveC && (options.driveC || options.noDriveC || options.sweep)) {
        return std::string(
            "--keep-drive-c keeps a fresh scratch drive C: it cannot be combined with --drive-c, "
            "--no-drive-c or --sweep");
    }
    if (options.startDisk && (options.driveC || options.noDriveC || options.writeProtected)) {
        return std::string("--start-disk lays down its own drive C: it cannot be combined with --drive-c, "
                           "--no-drive-c or --write-protected");
    }
    if (options.noDriveC && fileSystemGiven) {
        return std::string("--no-drive-c leaves no drive C to format: it cannot be combined with --file-system");
    }
    if (options.sweep && (options.driveC || options.noDriveC || options.writeProtected || options.raw ||
                          options.stats || options.trace || options.startDisk || !options.faults.empty() ||
                          fileSystemGiven)) {
        return std::string("--sweep makes its own drives C and takes only --single-faults and --json");
    }
    options.image = images.front();
    return options;
}

}  // namespace quarnhold::tools
