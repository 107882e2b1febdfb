#include "image_bitmaps.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "nbd_exports.h"

#include "util/unique_fd.h"

extern char **environ;

namespace oru::sim {

namespace {

// Runs the program and returns what it wrote to standard output, or nullopt
// when it could not run or exited with a failure.
std::optional<std::string> output_of(std::vector<std::string> args) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    UniqueFd read_end(ends[0]), write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;
    write_end.reset();
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(read_end.get(), chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

} // namespace

std::optional<std::vector<std::string>> image_bitmaps(const std::string &image, std::string &why) {
    auto text = output_of({"qemu-img", "info", "--force-share", "--output=json", "--image-opts",
                           "driver=qcow2,file.driver=file,file.filename=" + option_value(image)});
    if (!text) {
        why = "qemu-img could not read the bitmaps of " + image;
        return std::nullopt;
    }
    auto info = nlohmann::json::parse(*text, nullptr, false);
    std::vector<std::string> names;
    if (!info.is_object()) {
        why = "qemu-img info gave no JSON for " + image;
        return std::nullopt;
    }
    // {"format-specific": {"type": "qcow2", "data": {"bitmaps": [{"name": ...}]}}}
    const auto specific = info.find("format-specific");
    if (specific == info.end() || !specific->is_object()) return names;
    const auto data = specific->find("data");
    if (data == specific->end() || !data->is_object()) return names;
    const auto bitmaps = data->find("bitmaps");
    if (bitmaps == data->end() || !bitmaps->is_array()) return names;
    for (const auto &bitmap : *bitmaps)
        if (bitmap.is_object() && bitmap.contains("name") && bitmap["name"].is_string())
            names.push_back(bitmap["name"].get<std::string>());
    return names;
}

} // namespace oru::sim
