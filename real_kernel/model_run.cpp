// model_run.cpp

#include "real_kernel/model_run.h"

#include <nlohmann/json.hpp>

#include "real_kernel/child_process.h"

namespace quarnhold::real_kernel {

const std::vector<std::string>& ModelFileSystemArguments()
{
    static const std::vector<std::string> arguments{"--file-system", "fat"};
    return arguments;
}

ModelRun ParseRunRecord(const std::string& json)
{
    ModelRun run;
    try {
        nlohmann::json record = nlohmann::json::parse(json);
        // The run could not be made: quarnhold-run's error record says why.
        if (record.contains("error")) {
            throw CheckError("quarnhold-run made no run: " + record.at("error").at("message").get<std::string>());
        }
        for (const nlohmann::json& message : record.at("messages")) {
            std::string hex = message.at("gbk").get<std::string>();
            if (hex.size() % 2 != 0) throw CheckError("odd hex digits in a message's gbk: " + hex);
            std::string bytes;
            for (size_t i = 0; i < hex.size(); i += 2) {
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
            run.messages.push_back(std::move(bytes));
        }
        if (record.at("status").is_string()) {
            run.status = static_cast<uint32_t>(std::stoul(record.at("status").get<std::string>(), nullptr, 16));
        }
    } catch (const nlohmann::json::exception& broken) {
        throw CheckError(std::string("quarnhold-run's run record cannot be read: ") + broken.what());
    } catch (const std::logic_error& broken) {
        throw CheckError(std::string("quarnhold-run's run record holds a bad number: ") + broken.what());
    }
    return run;
}

ModelRun RunModel(const std::filesystem::path& tool, const std::filesystem::path& image,
                  const std::optional<std::filesystem::path>& driveC)
{
    std::vector<std::string> command{tool.string(), "--json"};
    if (driveC) {
        // Without drive C there is no volume to give a file system.
        command.insert(command.end(), ModelFileSystemArguments().begin(), ModelFileSystemArguments().end());
        command.insert(command.end(), {"--drive-c", driveC->string()});
    } else {
        command.push_back("--no-drive-c");
    }
    command.push_back(image.string());
    ProcessResult result = RunProcess(command);
    // 0: DriverEntry returned; 1: the run failed, and the record says how far it came.
    if (result.exitCode != 0 && result.exitCode != 1) {
        throw CheckError(ShowCommand(command) + " failed (exit status " + std::to_string(result.exitCode) +
                         "): " + result.err);
    }
    if (result.out.empty()) {
        throw CheckError(ShowCommand(command) + " wrote no run record: " + result.err);
    }
    ModelRun run = ParseRunRecord(result.out);
    if (result.exitCode == 1) {
        run.failure = result.err;
        while (!run.failure.empty() && run.failure.back() == '\n') run.failure.pop_back();
    }
    return run;
}

}  // namespace quarnhold::real_kernel
