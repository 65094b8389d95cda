// check_options.h
//
// real-kernel-check's command line.

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "real_kernel/qemu_boot.h"

namespace quarnhold::real_kernel {

struct CheckOptions {
    std::optional<std::filesystem::path> iso;  // nothing: $QUARNHOLD_REACTOS_ISO
    std::filesystem::path image;               // booted on ReactOS
    std::filesystem::path modelImage;          // run by quarnhold-run: the driver as the project builds it
    std::filesystem::path quarnholdRun;
    std::filesystem::path stager;   // the held-state stager's image: this build's
    std::filesystem::path package;  // the release zip: this build's
    BootSettings boot;
    int jobs = 2;                                  // QEMUs at once
    std::vector<std::string> scenarios;            // empty: all
    std::optional<std::filesystem::path> workDir;  // kept; default a scratch folder, removed
    bool keep = false;                             // keep the scratch folder
    bool skipWithoutIso = false;                   // no ISO: one line, exit SkippedExit
    bool list = false;
    bool help = false;
};

// Exit statuses.
constexpr int AllAgree = 0;
constexpr int SomeDiffer = 1;
constexpr int BadArguments = 2;
constexpr int CheckNotCarriedOut = 3;
constexpr int Skipped = 77;  // CTest's SKIP_RETURN_CODE

// The options, or a one-line reason they are not usable. Both images start
// as `image`, and the model's command as `quarnholdRun`.
std::variant<CheckOptions, std::string> ParseCheckOptions(const std::vector<std::string>& arguments,
                                                          const std::filesystem::path& image,
                                                          const std::filesystem::path& quarnholdRun);

extern const char* const CheckUsage;

}  // namespace quarnhold::real_kernel
