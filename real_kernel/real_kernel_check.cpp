// real_kernel_check.cpp
//
// real-kernel-check: the driver image on a real NT-compatible kernel,
// ReactOS under QEMU, against the model, scenario by scenario. See
// CheckUsage for the command line.

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <thread>

#include "emulator/hex_text.h"
#include "emulator/pe_image.h"
#include "fault_sweep/starting_disks.h"
#include "real_kernel/check_options.h"
#include "real_kernel/check_report.h"
#include "real_kernel/child_process.h"
#include "real_kernel/fat_disk_image.h"
#include "real_kernel/held_state.h"
#include "real_kernel/livecd_remaster.h"
#include "real_kernel/model_run.h"
#include "real_kernel/serial_log.h"
#include "real_kernel/starting_disk_layout.h"
#include "real_kernel/user_install.h"

namespace {

namespace fs = std::filesystem;
using namespace quarnhold;
using namespace quarnhold::real_kernel;
using Clock = std::chrono::steady_clock;

// Progress lines on standard error, from any worker, each stamped with the
// time since the check began.
class Progress {
public:
    void operator()(const std::string& line)
    {
        long elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count();
        char stamp[16];
        std::snprintf(stamp, sizeof(stamp), "[%ld:%02ld] ", elapsed / 60, elapsed % 60);
        std::lock_guard lock(mutex_);
        std::cerr << stamp << line << std::endl;
    }
    std::chrono::seconds Elapsed() const
    {
        return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_);
    }

private:
    Clock::time_point start_ = Clock::now();
    std::mutex mutex_;
};

// The folder the check works in: given (and kept), or a fresh scratch
// folder removed at the end unless asked to keep it.
class WorkFolder {
public:
    WorkFolder(const std::optional<fs::path>& given, bool keep) : keep_(keep || given.has_value())
    {
        if (given) {
            fs::create_directories(*given);
            path_ = fs::absolute(*given);
            return;
        }
        std::string pattern = (fs::temp_directory_path() / "quarnhold-real-kernel-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw CheckError("cannot make a scratch folder in " + pattern);
        path_ = pattern;
    }
    ~WorkFolder()
    {
        std::error_code ignored;
        if (keep_) {
            std::cerr << "work folder kept: " << path_.string() << "\n";
        } else {
            fs::remove_all(path_, ignored);
        }
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
    bool keep_;
};

// A whole file's bytes.
std::string ReadAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The programs the check drives that are not installed, each with its Debian
// package; nothing when all are there.
std::optional<std::string> MissingTools()
{
    const std::vector<std::pair<std::string, std::string>> tools{{"qemu-system-i386", "qemu-system-x86"},
                                                                 {"hivexsh", "libhivex-bin"},
                                                                 {"hivexget", "libhivex-bin"},
                                                                 {"osirrox", "xorriso"},
                                                                 {"genisoimage", "genisoimage"},
                                                                 {"mattrib", "mtools"},
                                                                 {"mkfs.fat", "dosfstools"},
                                                                 {"xz", "xz-utils"},
                                                                 {"unzip", "unzip"}};
    std::string missing;
    const char* path = std::getenv("PATH");
    for (const auto& [tool, package] : tools) {
        bool found = false;
        std::string_view dirs = path != nullptr ? path : "";
        for (size_t start = 0; start <= dirs.size() && !found;) {
            size_t end = std::min(dirs.find(':', start), dirs.size());
            fs::path candidate = fs::path(std::string(dirs.substr(start, end - start))) / tool;
            found = access(candidate.c_str(), X_OK) == 0;
            start = end + 1;
        }
        for (const std::string& sbin : {"/usr/sbin/", "/sbin/"})
            found = found || access((sbin + tool).c_str(), X_OK) == 0;
        if (!found) missing += (missing.empty() ? "" : ", ") + tool + " (" + package + ")";
    }
    if (missing.empty()) return std::nullopt;
    return missing;
}

// Boots one chain of starts on one disk, and compares each with the model's
// run on a folder laid from the same starting disk.
std::vector<ScenarioResult> CheckChain(const std::vector<const Scenario*>& chain, const fs::path& iso,
                                       const CheckOptions& options, const fs::path& work, Progress& progress,
                                       std::atomic<int>& boots)
{
    const fault_sweep::StartingDisk& disk = fault_sweep::FindStartingDisk(chain.front()->startingDisk);
    const fs::path folder = work / disk.name;
    fs::remove_all(folder);
    fs::create_directories(folder / "model");
    std::optional<fs::path> image;
    uint64_t fillerBytes = 0;

    std::vector<ScenarioResult> results;
    std::optional<std::string> stopped;  // why the rest of the chain cannot be checked
    try {
        if (disk.driveC) {
            image = folder / "drive-c.img";
            fillerBytes = LayOnFatDiskImage(disk, *image, folder / "payloads", DiskImageBytes);
        }
    } catch (const std::exception& failed) {
        stopped = std::string("the starting disk could not be laid: ") + failed.what();
    }

    std::optional<fs::path> modelDriveC;  // the folder the model's last start left
    for (const Scenario* scenario : chain) {
        ScenarioResult result;
        result.scenario = scenario;
        if (stopped) {
            result.notChecked = *stopped;
            results.push_back(std::move(result));
            continue;
        }
        try {
            BootPlan plan{iso, image, folder / ("serial-" + std::to_string(scenario->start) + ".log"),
                          folder / ("qemu-" + std::to_string(scenario->start) + ".log")};
            progress(scenario->name + ": booting ReactOS (boot " + std::to_string(++boots) + ")");
            result.boot = BootOnce(plan, options.boot);
            progress(scenario->name + (result.boot.kernelStopped ? ": ReactOS stopped while the driver ran, after "
                                                                  : ": the driver's line after ") +
                     std::to_string(result.boot.toDriverLine.count()) + " s; QEMU stopped at " +
                     std::to_string(result.boot.total.count()) + " s");

            const std::string log = ReadAll(plan.serialLog);
            for (const StagerLine& line : StagerLines(log)) result.stagerLines.push_back(line.text);
            if (!disk.foreignOpens.empty() && scenario->start == 1) {
                if (std::optional<std::string> why = WhyHeldStateNotMade(disk, StagerLines(log))) throw CheckError(*why);
            }
            DriverOutput output = ExtractDriverOutput(log);
            result.reactos.messages = output.messages;
            result.reactos.status = output.status;
            result.reactos.stop = output.stop;
            result.foreignLinesRemoved = output.foreignLinesRemoved;
            // A machine that stopped never wrote its cache: its disk says nothing.
            if (image && !output.stop) {
                std::vector<testbed::DiskItem> items;
                for (FatItem& item : ReadFatDiskImage(*image)) {
                    if (IsLaidFiller(item.item, fillerBytes)) continue;
                    items.push_back(std::move(item.item));
                    result.reactosAttributes.push_back(item.attributes);
                }
                result.reactos.disk = std::move(items);
            }

            ModelRun model = RunModel(options.quarnholdRun, options.modelImage, disk, modelDriveC, folder / "model");
            modelDriveC = model.driveC;
            result.modelMessages = model.messages;
            for (const std::string& message : model.messages) result.model.messages += message;
            result.model.status = model.status;
            result.modelFailure = model.failure;
            if (model.driveC) result.model.disk = testbed::ReadDisk(*model.driveC);

            result.judgement = Judge(result.reactos, result.model, FindKnownDifference(scenario->name));
        } catch (const std::exception& failed) {
            result.notChecked = failed.what();
            stopped = "the start before it was not checked";
        }
        results.push_back(std::move(result));
    }
    return results;
}

// Boots the user's own path once: the release zip's files on drive C, the
// install script run at logon by the scenario's runner, the machine
// powering off by itself; and compares the driver's messages, its status
// and drive C with the model's run on a folder laid the same way, and the
// script's outcome with what install/README.txt promises.
ScenarioResult CheckUserInstall(const Scenario& scenario, const fs::path& iso, const CheckOptions& options,
                                const fs::path& work, Progress& progress, std::atomic<int>& boots)
{
    ScenarioResult result;
    result.scenario = &scenario;
    result.substitutions = Substitutions();
    const fs::path folder = work / scenario.name;
    try {
        fs::remove_all(folder);
        fs::create_directories(folder / "model");
        fault_sweep::StartingDisk disk{.name = scenario.name, .items = UserInstallDisk(options.package, folder)};
        const fs::path image = folder / "drive-c.img";
        LayOnFatDiskImage(disk, image, folder / "payloads", DiskImageBytes);

        BootPlan plan{iso, image, folder / "serial-1.log", folder / "qemu-1.log", true};
        progress(scenario.name + ": booting ReactOS to its desktop (boot " + std::to_string(++boots) + ")");
        result.boot = BootOnce(plan, options.boot);
        progress(scenario.name + ": the driver's line after " + std::to_string(result.boot.toDriverLine.count()) +
                 " s; the machine powered off at " + std::to_string(result.boot.total.count()) + " s");

        DriverOutput output = ExtractDriverOutput(ReadAll(plan.serialLog));
        result.reactos.messages = output.messages;
        result.reactos.status = output.status;
        result.reactos.stop = output.stop;
        result.foreignLinesRemoved = output.foreignLinesRemoved;
        std::optional<std::string> scriptOutput, scriptExit;
        std::vector<testbed::DiskItem> items;
        for (FatItem& item : ReadFatDiskImage(image)) {
            if (item.item.path == ScriptOutputPath) scriptOutput = item.item.content;
            if (item.item.path == ScriptExitPath) scriptExit = item.item.content;
            if (IsLeftOutOfComparison(item.item.path)) continue;
            items.push_back(std::move(item.item));
            result.reactosAttributes.push_back(item.attributes);
        }
        result.reactos.disk = std::move(items);
        result.reactos.script = ScriptOutcome(scriptOutput, scriptExit);
        result.scriptOutput = scriptOutput.value_or("");

        const fs::path modelDriveC = folder / "model" / "drive-c";
        fs::create_directories(modelDriveC);
        testbed::LayDown(modelDriveC, disk.items);
        ModelRun model = RunModel(options.quarnholdRun, options.modelImage, disk, modelDriveC, folder / "model");
        result.modelMessages = model.messages;
        for (const std::string& message : model.messages) result.model.messages += message;
        result.model.status = model.status;
        result.modelFailure = model.failure;
        result.model.disk = testbed::ReadDisk(modelDriveC);
        result.model.script = ReadmePromise();

        result.judgement = Judge(result.reactos, result.model, FindKnownDifference(scenario.name));
    } catch (const std::exception& failed) {
        result.notChecked = failed.what();
    }
    return result;
}

// The whole check: remaster once, boot every chain (up to --jobs at once),
// then the report in the table's order and the exit status.
int Check(const CheckOptions& options, const fs::path& iso)
{
    if (std::optional<std::string> missing = MissingTools()) {
        std::cerr << "real-kernel-check: missing " << *missing << "; scripts/install-dependencies installs them\n";
        return CheckNotCarriedOut;
    }
    std::vector<std::vector<const Scenario*>> chains = BootChains(options.scenarios);
    Progress progress;
    WorkFolder work(options.workDir, options.keep);

    // One livecd starts the driver as a service, after the stager; the user's
    // own path gets one of its own, which logs on and runs the runner.
    const bool userInstall = std::any_of(chains.begin(), chains.end(), [](const auto& chain) {
        return chain.front()->kind == ScenarioKind::UserInstall;
    });
    const bool services = std::any_of(chains.begin(), chains.end(), [](const auto& chain) {
        return chain.front()->kind != ScenarioKind::UserInstall;
    });
    fs::path remastered, remasteredForUser;
    try {
        const auto say = [&](const std::string& line) { progress(line); };
        if (services) {
            const LivecdContents contents{{{std::string(StagerService), std::string(StagerGroup), options.stager},
                                           {std::string(ServiceName), "", options.image}},
                                          ""};
            remastered = RemasterLivecd(iso, contents, work.Path() / "iso", say);
        }
        if (userInstall) {
            remasteredForUser = RemasterLivecd(iso, {{}, std::string(RunAtLogon)}, work.Path() / "iso-user", say);
        }
    } catch (const std::exception& failed) {
        std::cerr << "real-kernel-check: cannot remaster " << iso.string() << ": " << failed.what() << "\n";
        return CheckNotCarriedOut;
    }

    // Longest chains first, so two QEMUs stay busy to the end.
    std::stable_sort(chains.begin(), chains.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::vector<std::vector<ScenarioResult>> chainResults(chains.size());
    std::atomic<size_t> next{0};
    std::atomic<int> boots{0};
    {
        std::vector<std::jthread> workers;
        for (int j = 0; j < options.jobs; ++j) {
            workers.emplace_back([&] {
                for (size_t c = next++; c < chains.size(); c = next++) {
                    chainResults[c] =
                        chains[c].front()->kind == ScenarioKind::UserInstall
                            ? std::vector{CheckUserInstall(*chains[c].front(), remasteredForUser, options, work.Path(),
                                                           progress, boots)}
                            : CheckChain(chains[c], remastered, options, work.Path(), progress, boots);
                }
            });
        }
    }

    // The report, in the table's order.
    std::vector<ScenarioResult> results;
    for (const Scenario& scenario : Scenarios()) {
        for (auto& chain : chainResults) {
            for (ScenarioResult& result : chain) {
                if (result.scenario == &scenario) results.push_back(std::move(result));
            }
        }
    }
    std::cout << "real-kernel check: " << options.image.string() << " on ReactOS (" << iso.filename().string()
              << "), against " << options.quarnholdRun.string();
    for (const std::string& argument : ModelFileSystemArguments()) std::cout << " " << argument;
    std::cout << " " << options.modelImage.string()
              << (ReadAll(options.image) == ReadAll(options.modelImage) ? " (the same image)" : " (another image)");
    std::cout << "\nThe ReactOS column shows each file's FAT attributes; the comparison takes R (read-only), the one "
                 "the model keeps.\n\n";
    for (const ScenarioResult& result : results) WriteScenarioReport(result, std::cout);
    CheckSummary summary = Summarize(results);
    summary.boots = boots;
    summary.jobs = options.jobs;
    summary.accelerator = options.boot.accelerator;
    summary.wallTime = progress.Elapsed();
    WriteSummaryLine(summary, std::cout);
    if (summary.notChecked > 0) return CheckNotCarriedOut;
    return summary.differ > 0 ? SomeDiffer : AllAgree;
}

// Bad arguments: the reason in one line, and where help is.
int Refuse(const std::string& reason)
{
    std::cerr << "real-kernel-check: " << reason << "\nTry 'real-kernel-check --help'.\n";
    return BadArguments;
}

}  // namespace

int main(int argc, char** argv)
{
    auto parsed =
        ParseCheckOptions(std::vector<std::string>(argv + 1, argv + argc), QUARNHOLD_IMAGE_PATH, QUARNHOLD_RUN_PATH);
    if (const std::string* reason = std::get_if<std::string>(&parsed)) return Refuse(*reason);
    CheckOptions options = std::get<CheckOptions>(parsed);
    options.stager = QUARNHOLD_STAGER_PATH;
    options.package = QUARNHOLD_PACKAGE_PATH;
    if (options.help) {
        std::cout << CheckUsage;
        return AllAgree;
    }
    if (options.list) {
        for (const Scenario& scenario : Scenarios()) {
            std::cout << scenario.name << ": " << scenario.description << "\n";
        }
        return AllAgree;
    }

    std::optional<fs::path> iso = options.iso;
    if (const char* fromEnvironment = std::getenv("QUARNHOLD_REACTOS_ISO");
        !iso && fromEnvironment && *fromEnvironment) {
        iso = fromEnvironment;
    }
    if (!iso) {
        if (options.skipWithoutIso) {
            std::cout << "real-kernel check skipped: no ReactOS livecd given (set QUARNHOLD_REACTOS_ISO to a ReactOS "
                         "i386 Debug livecd, .iso or .iso.xz)\n";
            return Skipped;
        }
        return Refuse("no ReactOS livecd: give --iso PATH or set QUARNHOLD_REACTOS_ISO");
    }
    std::error_code error;
    for (const auto& [what, path] :
         {std::pair{"livecd", *iso}, std::pair{"image", options.image}, std::pair{"model image", options.modelImage},
          std::pair{"quarnhold-run", options.quarnholdRun}, std::pair{"held-state stager", options.stager},
          std::pair{"release package", options.package}}) {
        if (!fs::is_regular_file(path, error)) return Refuse(std::string("no such ") + what + ": " + path.string());
    }
    // The livecd is ReactOS i386: an image for another machine would only
    // fail to load there, and no amd64 kernel can be booted here instead.
    try {
        const uint16_t machine = emulator::ReadPeImage(options.image).machine;
        if (machine != 0x014C) {
            return Refuse(options.image.string() + " is not an i386 image (machine " + emulator::Hex(machine, 4) +
                          "): the ReactOS livecd is i386, and there is no amd64 kernel to check an amd64 image on");
        }
    } catch (const emulator::ImageError& unreadable) {
        return Refuse(std::string("cannot read the image: ") + unreadable.what());
    }
    try {
        return Check(options, fs::absolute(*iso));
    } catch (const std::exception& failed) {
        std::cerr << "real-kernel-check: " << failed.what() << "\n";
        return CheckNotCarriedOut;
    }
}
