// helper_process.h
//
// Another program quarnhold-run asks for something (llvm-symbolizer, llvm-
// pdbutil) about files it cannot trust: a hostile image or PDB may make the
// helper hang, crash, eat memory or write without end. So each runs with a
// time limit, a cap on what it may write and on its address space, no core
// file, and dies with quarnhold-run.

#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnhold::tools {

struct HelperLimits {
    std::chrono::milliseconds time{10'000};
    size_t outputBytes = 4 << 20;         // standard output; beyond it the helper is stopped
    uint64_t addressSpaceBytes = 2ull << 30;
};

struct HelperRun {
    enum class End { Exited, Signalled, TimedOut, TooMuchOutput };
    End end = End::Exited;
    int code = 0;          // the exit status, or the signal's number
    std::string out;       // standard output, at most the limit
    std::string errorLine;  // the last line it wrote to standard error
};

// `program` as the shell would find it on PATH; nothing when it is not there.
std::optional<std::filesystem::path> FindProgram(std::string_view program);

// Runs `program` with `arguments`, `input` on its standard input, within
// `limits`. Throws std::runtime_error when it cannot be started at all.
HelperRun RunHelper(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    std::string_view input, const HelperLimits& limits = {});

// How a helper ended, for a person: "exited with status 3", "died of
// SIGSEGV", "gave no answer within 10 s", "wrote more than 4194304 bytes".
std::string DescribeHelperEnd(const HelperRun& run, const HelperLimits& limits);

}  // namespace quarnhold::tools
