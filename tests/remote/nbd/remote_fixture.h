// Helpers shared by the remote-volume tests: reading a volume's log, picking
// requests out of the simulator's journal, and the platform users.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <vector>

#include "support/platform_sim.h"

namespace oru::test {

inline const char kUser[] = "backup";
inline const char kPassword[] = "backup-pass";
inline const char kKeyId[] = "AKBACKUP0000000001";
inline const char kKeySecret[] = "BACKUPSECRET00000000000000000001";

// The users every remote test's platform knows: one with an access key.
inline nlohmann::json platform_users() {
    return nlohmann::json::array(
        {{{"name", kUser},
          {"password", kPassword},
          {"userId", "user-backup"},
          {"accessKeys", {{{"id", kKeyId}, {"secret", kKeySecret}}}}}});
}

// One logged line split at the time stamp: "[stamp] - first:second".
struct LogLine {
    std::string text; // what follows "] - "
    bool starts_with(const std::string &prefix) const { return text.rfind(prefix, 0) == 0; }
};

inline std::vector<LogLine> read_log(const std::string &path) {
    std::vector<LogLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto mark = line.find("] - ");
        lines.push_back({mark == std::string::npos ? line : line.substr(mark + 4)});
    }
    return lines;
}

// Journal entries that are requests whose target starts with prefix.
inline std::vector<nlohmann::json> requests_to(const PlatformSim &sim, const std::string &prefix) {
    std::vector<nlohmann::json> found;
    for (auto &entry : sim.journal()) {
        if (!entry.is_object() || !entry.contains("target")) continue;
        if (entry["target"].get<std::string>().rfind(prefix, 0) == 0) found.push_back(entry);
    }
    return found;
}

inline std::string header_of(const nlohmann::json &entry, const std::string &name) {
    for (auto &pair : entry["headers"])
        if (pair[0].get<std::string>() == name) return pair[1].get<std::string>();
    return {};
}

} // namespace oru::test
