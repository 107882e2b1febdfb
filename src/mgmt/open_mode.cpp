// Records a volume's open mode with the management server and follows the
// task that carries it out.
#include <cstring>
#include <string>
#include <vector>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
#include "mgmt/task_polling.h"
#include "util/json.h"

namespace {

constexpr int kSetModeReplyRoom = 512;
constexpr int kTaskReplyRoom = 1024;

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
    std::optional<std::string> task_id = oru::mgmt::reply_text(reply.data(), "taskId");
    if (!task_id) return -1;
    std::string task_path = "/tasks/" + *task_id;
    oru::mgmt::TaskPolling polling;
    for (;;) {
        std::fill(reply.begin(), reply.end(), '\0');
        rc =
            https_get(ip, kManagementPort, task_path.data(), session, reply.data(), kTaskReplyRoom);
        if (rc != 0) return -1;
        if (oru::mgmt::is_error_reply(reply.data())) return 0;
        std::optional<std::string> state = oru::mgmt::reply_text(reply.data(), "state");
        if (!state) return -1;
        if (*state == "FINISHED") return 0;
        if (*state == "ERROR") return -1;
        if (!polling.pause()) {
            oru::mgmt::note_exchange_failure("open-mode task " + *task_id +
                                             " still running when ORU_TASK_TIMEOUT ran out");
            return -1;
        }
    }
}

} // namespace

namespace oru::mgmt {

std::optional<std::string> reply_text(const char *reply, const char *name) {
    oru::json::Document document = oru::json::parse(reply);
    const char *text = oru::json::string_member(document.get(), name);
    if (!text) return std::nullopt;
    return std::string(text);
}

} // namespace oru::mgmt

ORU_EXPORT int setOpenMode(char *uuid, char *openFlag, char *ip, char *session) {
    try {
        return set_open_mode(uuid, openFlag, ip, session);
    } catch (...) {
        return -1;
    }
}
