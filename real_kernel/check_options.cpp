// check_options.cpp

#include "real_kernel/check_options.h"

#include <charconv>

#include "real_kernel/scenarios.h"

namespace quarnhold::real_kernel {

const char* const CheckUsage =
    "usage: real-kernel-check [--iso PATH] [--image PATH] [--model-image PATH]\n"
    "                         [--quarnhold-run PATH]\n"
    "                         [--accel tcg|kvm] [--jobs 1|2] [--scenario NAME]...\n"
    "                         [--boot-timeout SECONDS] [--work-dir DIR] [--keep]\n"
    "                         [--skip-without-iso]\n"
    "       real-kernel-check --list\n"
    "\n"
    "Boots a ReactOS i386 Debug livecd under QEMU with the driver image as an\n"
    "auto-start kernel service, once per scenario, each on a FAT16 drive C laid\n"
    "from the sweep's starting disks (handles held by others made by a stager\n"
    "driver that starts first, a full volume filled); reads the driver's messages\n"
    "from the serial debug output and the disk back with mtools; runs\n"
    "quarnhold-run on the same starting disk; and prints both side by side. The\n"
    "scenario user_install instead runs the release zip's install script at logon,\n"
    "as a user does, and holds its outcome to what its README.txt promises.\n"
    "\n"
    "  --iso PATH           the livecd, .iso or .iso.xz (default: $QUARNHOLD_REACTOS_ISO)\n"
    "  --image PATH         the driver image ReactOS boots (default: this build's)\n"
    "  --model-image PATH   the image the model runs, the reference (default: this\n"
    "                       build's); with another --image, the check tells whether\n"
    "                       that image on a real kernel does what the reference\n"
    "                       does on the model\n"
    "  --quarnhold-run PATH the model's command (default: this build's)\n"
    "  --accel tcg|kvm      QEMU's accelerator (default: tcg, software emulation)\n"
    "  --jobs 1|2           QEMUs running at once (default: 2)\n"
    "  --scenario NAME      check this scenario only; may be given more than once\n"
    "                       (--list names them)\n"
    "  --boot-timeout S     the limit for the driver's line after power-on (default: 300)\n"
    "  --work-dir DIR       work in DIR and keep it (default: a scratch folder, removed)\n"
    "  --keep               keep the scratch folder and say where it is\n"
    "  --skip-without-iso   with no ISO given, print one line and exit 77\n"
    "\n"
    "Exit status: 0 when every scenario agrees (or differs only as recorded),\n"
    "1 when one differs, 2 for bad arguments, 3 when the check could not be\n"
    "carried out (the ISO, a tool, a boot), 77 when skipped.\n";

namespace {

// A whole decimal number, or nothing.
std::optional<int> Number(const std::string& text)
{
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::variant<CheckOptions, std::string> ParseCheckOptions(const std::vector<std::string>& arguments,
                                                          const std::filesystem::path& image,
                                                          const std::filesystem::path& quarnholdRun)
{
    CheckOptions options;
    options.image = image;
    options.modelImage = image;
    options.quarnholdRun = quarnholdRun;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (size_t equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        // The option's value: after '=', or the next argument.
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < arguments.size()) return arguments[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& field) -> std::optional<std::string> {
            if (inlineValue) return name + " takes no value";
            field = true;
            return std::nullopt;
        };
        std::optional<std::string> refusal;
        if (name == "--iso" || name == "--image" || name == "--model-image" || name == "--quarnhold-run" ||
            name == "--work-dir") {
            std::optional<std::string> path = value();
            if (!path || path->empty()) return name + " needs a path";
            if (name == "--iso") options.iso = *path;
            if (name == "--image") options.image = *path;
            if (name == "--model-image") options.modelImage = *path;
            if (name == "--quarnhold-run") options.quarnholdRun = *path;
            if (name == "--work-dir") options.workDir = *path;
        } else if (name == "--accel") {
            std::optional<std::string> accel = value();
            if (accel != "tcg" && accel != "kvm") return std::string("--accel takes tcg or kvm");
            options.boot.accelerator = *accel;
        } else if (name == "--jobs") {
            std::optional<std::string> text = value();
            std::optional<int> jobs = text ? Number(*text) : std::nullopt;
            // QEMU under software emulation keeps a core busy; the machine has two.
            if (!jobs || *jobs < 1 || *jobs > 2) return std::string("--jobs takes 1 or 2");
            options.jobs = *jobs;
        } else if (name == "--boot-timeout") {
            std::optional<std::string> text = value();
            std::optional<int> seconds = text ? Number(*text) : std::nullopt;
            if (!seconds || *seconds < 1) return std::string("--boot-timeout takes a number of seconds");
            options.boot.driverTimeout = std::chrono::seconds(*seconds);
        } else if (name == "--scenario") {
            std::optional<std::string> scenario = value();
            if (!scenario) return std::string("--scenario needs a name");
            if (FindScenario(*scenario) == nullptr) {
                return "no scenario named " + *scenario + "; 'real-kernel-check --list' names them";
            }
            options.scenarios.push_back(*scenario);
        } else if (name == "--keep") {
            refusal = flag(options.keep);
        } else if (name == "--skip-without-iso") {
            refusal = flag(options.skipWithoutIso);
        } else if (name == "--list") {
            refusal = flag(options.list);
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else {
            return "unknown option " + arguments[i];
        }
        if (refusal) return *refusal;
    }
    return options;
}

}  // namespace quarnhold::real_kernel
