// Runs oru-platform-sim (the built one) as a child process for a test: the
// platform described by a JSON config text, its request journal in a scratch
// directory, stopped with SIGTERM when the object dies. Must run inside a
// private network namespace (oru_add_test NETNS): it listens on 127.0.0.x
// ports 443 and 9753. The library's logs of the volumes it knows (from the
// config and --volume flags) are removed when it dies.
#pragma once

#include "support/test_support.h"
#include "support/volume_logs.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace oru::test {

class PlatformSim {
  public:
    // The simulator built in this tree (ORU_BINARY_DIR is set by ctest).
    static std::string binary() {
        const char *build = getenv("ORU_BINARY_DIR");
        return std::string(build ? build : ".") + "/tools/platform-sim/oru-platform-sim";
    }

    // Starts the simulator with config (JSON text) and extra flags, and
    // waits up to 15 s until it listens. Check ready() afterwards.
    explicit PlatformSim(const std::string &config, const std::vector<std::string> &flags = {}) {
        forget_volume_logs(config, flags);
        config_path_ = dir_.file("platform.json");
        log_path_ = dir_.file("journal.jsonl");
        std::ofstream(config_path_) << config;
        std::string ready = dir_.file("ready");
        std::vector<std::string> args = {binary(), "--config", config_path_, "--log", log_path_,
                                         "--ready-file", ready, "--image-dir", dir_.path()};
        args.insert(args.end(), flags.begin(), flags.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (auto &arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 150 && pid_ > 0; ++i) {
            if (access(ready.c_str(), F_OK) == 0) {
                ready_ = true;
                break;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    ~PlatformSim() { stop(); }
    PlatformSim(const PlatformSim &) = delete;
    PlatformSim &operator=(const PlatformSim &) = delete;

    bool ready() const { return ready_; }
    // The scratch directory: relative volume images resolve against it.
    const TempDir &dir() const { return dir_; }
    const std::string &log_path() const { return log_path_; }

    // Sends SIGTERM and waits; returns the exit status (128 + signal when
    // killed). Later calls return the first result.
    int stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return exit_status_;
    }

    // Every line of the journal so far, parsed.
    std::vector<nlohmann::json> journal() const {
        std::vector<nlohmann::json> lines;
        std::ifstream in(log_path_);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(nlohmann::json::parse(line, nullptr, false));
        return lines;
    }

  private:
    void forget_volume_logs(const std::string &config, const std::vector<std::string> &flags) {
        nlohmann::json doc = nlohmann::json::parse(config, nullptr, false);
        if (doc.is_object() && doc.contains("volumes") && doc["volumes"].is_array())
            for (const auto &v : doc["volumes"])
                if (v.is_object() && v.contains("uuid") && v["uuid"].is_string()) logs_.add(v["uuid"]);
        for (size_t i = 0; i + 1 < flags.size(); ++i) {
            if (flags[i] != "--volume") continue;
            const std::string &spec = flags[i + 1]; // uuid=UUID[,member=value...]
            size_t at = spec.find("uuid=");
            if (at != 0 && at != std::string::npos && spec[at - 1] != ',') at = std::string::npos;
            if (at != std::string::npos) logs_.add(spec.substr(at + 5, spec.find(',', at) - at - 5));
        }
    }

    VolumeLogCleanup logs_; // outlives the simulator process, stopped first
    TempDir dir_;
    std::string config_path_, log_path_;
    pid_t pid_ = -1;
    bool ready_ = false;
    int exit_status_ = -1;
};

} // namespace oru::test
