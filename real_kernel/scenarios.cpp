// scenarios.cpp

#include "real_kernel/scenarios.h"

#include <algorithm>
#include <stdexcept>

namespace quarnhold::real_kernel {

std::string_view KindName(ScenarioKind kind)
{
    switch (kind) {
        case ScenarioKind::LaidDisk:
            return "laid disk";
        case ScenarioKind::HeldState:
            return "held state";
        case ScenarioKind::VolumeState:
            return "volume state";
        case ScenarioKind::UserInstall:
            return "install script";
    }
    return "?";
}

const std::vector<Scenario>& Scenarios()
{
    constexpr ScenarioKind Held = ScenarioKind::HeldState, Volume = ScenarioKind::VolumeState;
    static const std::vector<Scenario> scenarios{
        {"clean_drive_c", "clean_drive_c", 1, "an empty drive C: the first start"},
        {"second_start", "clean_drive_c", 2, "the second start, on the disk the first start left"},
        {"directory_only", "directory_only", 1, "Quarnhold there, test.txt not"},
        {"no_drive_c", "no_drive_c", 1, "a machine with no hard disk"},
        {"file_where_the_directory_should_be", "file_where_the_directory_should_be", 1, "Quarnhold is a file"},
        {"directory_in_other_letter_case", "directory_in_other_letter_case", 1, "QUARNHOLD, upper case"},
        {"test_file_in_other_letter_case", "test_file_in_other_letter_case", 1, "quarnhold\\TEST.TXT, empty"},
        {"test_file_longer_than_the_text", "test_file_longer_than_the_text", 1, "test.txt of 34 bytes"},
        {"test_file_shorter_than_the_text", "test_file_shorter_than_the_text", 1, "test.txt of 5 bytes"},
        {"test_file_is_a_directory", "test_file_is_a_directory", 1, "test.txt is a directory"},
        {"test_file_read_only", "test_file_read_only", 1, "test.txt has the FAT read-only attribute"},
        {"test_file_held_for_reading_without_write_sharing", "test_file_held_for_reading_without_write_sharing", 1,
         "test.txt held open for reading, sharing reads only", Held},
        {"test_file_held_for_writing_sharing_everything", "test_file_held_for_writing_sharing_everything", 1,
         "test.txt held open for writing, sharing everything", Held},
        {"test_file_held_for_deleting", "test_file_held_for_deleting", 1,
         "test.txt held open for deleting, sharing reads and writes", Held},
        {"test_file_held_without_data_access", "test_file_held_without_data_access", 1,
         "test.txt held open for its attributes, sharing nothing", Held},
        {"test_file_held_for_reading_sharing_writes", "test_file_held_for_reading_sharing_writes", 1,
         "test.txt held open for reading, sharing reads and writes", Held},
        {"test_file_delete_pending", "test_file_delete_pending", 1,
         "test.txt's holder has set the delete disposition", Held},
        {"test_file_locked_by_another_handle", "test_file_locked_by_another_handle", 1,
         "test.txt's first 20 bytes locked by another handle", Held},
        {"work_directory_held_without_sharing", "work_directory_held_without_sharing", 1,
         "Quarnhold listed by a holder that shares nothing", Held},
        {"full_volume_empty", "full_volume_empty", 1, "no cluster free, nothing on drive C", Volume},
        {"full_volume_directory_only", "full_volume_directory_only", 1, "no cluster free, Quarnhold there",
         Volume},
        {"full_volume_test_file_shorter_than_the_text", "full_volume_test_file_shorter_than_the_text", 1,
         "no cluster free, test.txt of 5 bytes", Volume},
        // Drive C holds the release zip's files and the runner, not a
        // starting disk's items; the model's drive C holds the same.
        {"user_install", "clean_drive_c", 1,
         "the release zip on drive C, and its install script run at logon, as a user runs it",
         ScenarioKind::UserInstall},
    };
    return scenarios;
}

const Scenario* FindScenario(const std::string& name)
{
    for (const Scenario& scenario : Scenarios()) {
        if (scenario.name == name) return &scenario;
    }
    return nullptr;
}

namespace {

// Whether two scenarios boot on one disk, one after the other: the starts
// of one starting disk do; the user's own path has a disk of its own.
bool SameDisk(const Scenario& a, const Scenario& b)
{
    return a.startingDisk == b.startingDisk && (a.kind == ScenarioKind::UserInstall) == (b.kind == ScenarioKind::UserInstall);
}

}  // namespace

std::vector<std::vector<const Scenario*>> BootChains(const std::vector<std::string>& names)
{
    std::vector<const Scenario*> picked;
    for (const std::string& name : names) {
        const Scenario* scenario = FindScenario(name);
        if (scenario == nullptr) throw std::invalid_argument("no real-kernel scenario named " + name);
        picked.push_back(scenario);
    }
    std::vector<std::vector<const Scenario*>> chains;
    for (const Scenario& scenario : Scenarios()) {
        // A start is booted when it is picked, or a later start of its disk is.
        bool wanted = names.empty() || std::any_of(picked.begin(), picked.end(), [&](const Scenario* p) {
                          return SameDisk(*p, scenario) && p->start >= scenario.start;
                      });
        if (!wanted) continue;
        auto chain = std::find_if(chains.begin(), chains.end(), [&](const std::vector<const Scenario*>& c) {
            return SameDisk(*c.front(), scenario);
        });
        if (chain == chains.end()) {
            chains.push_back({&scenario});
        } else {
            chain->push_back(&scenario);
        }
    }
    for (std::vector<const Scenario*>& chain : chains) {
        std::stable_sort(chain.begin(), chain.end(),
                         [](const Scenario* a, const Scenario* b) { return a->start < b->start; });
    }
    return chains;
}

}  // namespace quarnhold::real_kernel
