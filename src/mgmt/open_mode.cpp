// Records a volume's open mode with the management server and follows the
// task that carries it out.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "util/json.h"

namespace {

constexpr int kSetModeReplyRoom = 512;
constexpr int kTaskReplyRoom = 1024;
constexpr unsigned kPollIntervalSeconds = 1;

const char *open_mode_word(const char *open_flag) {
    if (open_flag && std::strcmp(open_flag, "r") == 0) return "READ";
    if (open_flag && std::strcmp(open_flag, "rw") == 0) return "READ_WRITE";
    return "CLOSED";
}

int set_open_mode(char *uuid, char *open_flag, char *ip, char *session) {
    if (!uuid || !ip) return -1;
    std::string body = "{\"uuid\":\"" + oru::json::escape(uuid) + "\",\"openMode\":\"" +
                       open_mode_word(open_flag) + "\"}";
    std::vector<char> reply(kTaskReplyRoom + 1, '\0');
    int rc = https_put(ip, kManagementPort, const_cast<char *>("/volumes?action=setOpenMode"),
                       body.data(), static_cast<int>(body.size()), session, reply.data(),
                       kSetModeReplyRoom);
    if (rc != 0) return -1;
    if (oru::mgmt::is_error_reply(reply.data())) return 0;
    std::string task_path;
    {
        oru::json::Document accepted = oru::json::parse(reply.data());
        const char *task_id = oru::json::string_member(accepted.get(), "taskId");
        if (!task_id) return -1;
        task_path = std::string("/tasks/") + task_id;
    }
    for (;;) {
        std::fill(reply.begin(), reply.end(), '\0');
        rc =
            https_get(ip, kManagementPort, task_path.data(), session, reply.data(), kTaskReplyRoom);
        if (rc != 0) return -1;
        if (oru::mgmt::is_error_reply(reply.data())) return 0;
        oru::json::Document task = oru::json::parse(reply.data());
        const char *state = oru::json::string_member(task.get(), "state");
        if (!state) return -1;
        if (std::strcmp(state, "FINISHED") == 0) return 0;
        if (std::strcmp(state, "ERROR") == 0) return -1;
        sleep(kPollIntervalSeconds);
    }
}

} // namespace

ORU_EXPORT int setOpenMode(char *uuid, char *openFlag, char *ip, char *session) {
    try {
        return set_open_mode(uuid, openFlag, ip, session);
    } catch (...) {
        return -1;
    }
}
