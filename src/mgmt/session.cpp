// Connections to the management server: login traded for an access key,
// a caller's own key, and the end of a connection.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
#include "mgmt/task_polling.h"
#include "util/bounded_copy.h"
#include "util/json.h"

namespace {

constexpr int kConnectReplyBuffer = 65536;
constexpr int kKeyCheckReplyBuffer = 4096;
constexpr int kLogoutReplyBuffer = 512;

void free_connection(oruDiskLibInConnection *record) {
    if (!record) return;
    std::free(record->ip);
    std::free(record->username);
    std::free(record->password);
    std::free(record->sessionid);
    std::free(record);
}

struct ConnectionDeleter {
    void operator()(oruDiskLibInConnection *record) const { free_connection(record); }
};
using ConnectionRecord = std::unique_ptr<oruDiskLibInConnection, ConnectionDeleter>;

// A record holding copies of the given texts (NULL stays NULL); empty when
// memory runs out.
ConnectionRecord new_connection(const char *ip, const char *user, const char *password,
                                const char *session) {
    ConnectionRecord record(
        static_cast<oruDiskLibInConnection *>(std::calloc(1, sizeof(oruDiskLibInConnection))));
    if (!record) return record;
    auto copy = [](const char *text, char **field) {
        if (!text) return true;
        *field = strdup(text);
        return *field != nullptr;
    };
    if (!copy(ip, &record->ip) || !copy(user, &record->username) ||
        !copy(password, &record->password) || !copy(session, &record->sessionid))
        record.reset();
    return record;
}

// A zero-filled reply buffer; requests get one byte less as room so that
// the reply stays a terminated text.
struct ReplyBuffer {
    explicit ReplyBuffer(int size) : bytes(static_cast<size_t>(size), '\0') {}
    char *data() { return bytes.data(); }
    int room() const { return static_cast<int>(bytes.size()) - 1; }
    void clear() { std::fill(bytes.begin(), bytes.end(), '\0'); }
    std::vector<char> bytes;
};

int get(const char *ip, const char *path, const char *aut, ReplyBuffer &reply) {
    reply.clear();
    return https_get(const_cast<char *>(ip), kManagementPort, const_cast<char *>(path),
                     const_cast<char *>(aut), reply.data(), reply.room());
}

// Looks for userId's access key in the server's listing; on a match puts
// its access-key form ("ORU <id>:<secret>") into *key.
bool find_access_key(const char *ip, const char *session, const std::string &user_id,
                     ReplyBuffer &reply, std::string *key) {
    if (get(ip, "/accesskeys", session, reply) != 0) return false;
    if (oru::mgmt::is_error_reply(reply.data())) return false;
    return oru::mgmt::access_key_from_listing(reply.data(), user_id, key);
}

// Asks the server to create userId's key and follows the creation task to
// its end. Failures only mean that the key will not be found afterwards.
void create_access_key(const char *ip, const char *session, const std::string &user_id,
                       ReplyBuffer &reply) {
    std::string body = "{\"userId\":\"" + oru::json::escape(user_id) + "\"}";
    reply.clear();
    int rc = https_post(const_cast<char *>(ip), kManagementPort, const_cast<char *>("/accesskeys"),
                        body.data(), static_cast<int>(body.size()), const_cast<char *>(session),
                        reply.data(), reply.room());
    if (rc != 0 || !std::strstr(reply.data(), "taskId")) return;
    oru::json::Document created = oru::json::parse(reply.data());
    const char *task_id = oru::json::string_member(created.get(), "taskId");
    if (!task_id) return;
    std::string task_path = std::string("/tasks/") + task_id;
    oru::mgmt::TaskPolling polling;
    for (;;) {
        if (get(ip, task_path.c_str(), session, reply) != 0) return;
        oru::json::Document task = oru::json::parse(reply.data());
        const char *state = oru::json::string_member(task.get(), "state");
        if (!state || std::strcmp(state, "FINISHED") == 0 || std::strcmp(state, "ERROR") == 0)
            return;
        if (!polling.pause()) return;
    }
}

oruError connect_with_password(const oruDiskLibConnectParams &params,
                               oruDiskLibConnection *connection) {
    if (!connection) return ORU_E_PARAMS;
    *connection = nullptr;
    if (!params.hostIP || !params.password || !params.userName) return ORU_E_PARAMS;

    oru::mgmt::LoginReply login;
    int rc = oru::mgmt::login(params.hostIP, params.userName, params.password, &login);
    if (rc != 0) return static_cast<oruError>(rc);
    if (login.error_reply) return login.wrong_password ? ORU_E_ACCOUNT : ORU_E_POST;
    // A reply without the session or user id is no usable login.
    if (login.session_id.empty() || login.user_id.empty()) return ORU_E_POST;

    ConnectionRecord record =
        new_connection(params.hostIP, params.userName, params.password, login.session_id.c_str());
    if (!record) return ORU_E_MALLOC;

    // From here on the session form is usable: the key only improves on it.
    ReplyBuffer reply(kConnectReplyBuffer);
    const char *session = login.session_id.c_str();
    std::string key;
    if (!find_access_key(params.hostIP, session, login.user_id, reply, &key)) {
        create_access_key(params.hostIP, session, login.user_id, reply);
        find_access_key(params.hostIP, session, login.user_id, reply, &key);
    }
    if (!key.empty()) oru::mgmt::replace_session_id(record.get(), key.c_str());
    *connection = reinterpret_cast<oruDiskLibConnection>(record.release());
    return ORU_OK;
}

oruError connect_with_key(const oruDiskLibConnectParams &params, oruDiskLibConnection *connection) {
    if (!connection) return ORU_E_PARAMS;
    *connection = nullptr;
    if (!params.accesskey || !params.hostIP || !std::strstr(params.accesskey, "ORU"))
        return ORU_E_PARAMS;
    ConnectionRecord record = new_connection(params.hostIP, nullptr, nullptr, params.accesskey);
    if (!record) return ORU_E_MALLOC;

    ReplyBuffer reply(kKeyCheckReplyBuffer);
    int rc = get(params.hostIP, "/system/user/info", params.accesskey, reply);
    if (rc != 0) return static_cast<oruError>(rc);
    if (oru::mgmt::is_error_reply(reply.data())) {
        oru::set_nbderror(oru::mgmt::rejection_text(reply.data()).c_str());
        return ORU_E_ACCOUNT;
    }
    *connection = reinterpret_cast<oruDiskLibConnection>(record.release());
    return ORU_OK;
}

oruError disconnect(oruDiskLibConnection connection) {
    oruDiskLibInConnection *record = in_connection(connection);
    if (!record) return ORU_E_PARAMS;
    if (record->sessionid && std::strstr(record->sessionid, "ORU")) {
        free_connection(record);
        return ORU_OK;
    }
    ReplyBuffer reply(kLogoutReplyBuffer);
    int rc = get(record->ip, "/system/user/logout", record->sessionid, reply);
    if (rc != 0) return static_cast<oruError>(rc);
    if (oru::mgmt::is_error_reply(reply.data())) return ORU_E_GET;
    free_connection(record);
    return ORU_OK;
}

} // namespace

namespace oru::mgmt {

bool access_key_from_listing(const char *listing_text, const std::string &user_id,
                             std::string *key) {
    oru::json::Document listing = oru::json::parse(listing_text);
    std::optional<double> total = oru::json::number_member(listing.get(), "totalSize");
    const cJSON *items = oru::json::array_member(listing.get(), "items");
    if (!total || !items || !(*total > 0)) return false;
    // The scan is bounded by totalSize, and never runs past the array.
    int count = cJSON_GetArraySize(items);
    if (*total < count) count = static_cast<int>(*total);
    for (int i = 0; i < count; ++i) {
        const cJSON *entry = cJSON_GetArrayItem(items, i);
        const char *owner = oru::json::string_member(entry, "userId");
        if (!owner || user_id != owner) continue;
        const char *id = oru::json::string_member(entry, "accessKeyId");
        const char *secret = oru::json::string_member(entry, "accessKeySecret");
        if (!id || !secret) return false;
        *key = std::string("ORU ") + id + ":" + secret;
        return true;
    }
    return false;
}

std::string rejection_text(const char *reply) {
    oru::json::Document rejection = oru::json::parse(reply);
    const char *message = oru::json::string_member(rejection.get(), "message");
    return message ? message : reply;
}

bool replace_session_id(oruDiskLibInConnection *connection, const char *value) {
    if (!connection || !value) return false;
    char *copy = strdup(value);
    if (!copy) return false;
    std::free(connection->sessionid);
    connection->sessionid = copy;
    return true;
}

} // namespace oru::mgmt

ORU_EXPORT oruError oruDiskLib_Connect(const oruDiskLibConnectParams connectParams,
                                       oruDiskLibConnection *connection) {
    return oru::api_call([&]() -> oruError {
        try {
            return connect_with_password(connectParams, connection);
        } catch (...) {
            if (connection) *connection = nullptr;
            return ORU_E_MALLOC;
        }
    });
}

ORU_EXPORT oruError oruDiskLib_Set_AK(const oruDiskLibConnectParams connectParams,
                                      oruDiskLibConnection *connection) {
    return oru::api_call([&]() -> oruError {
        try {
            return connect_with_key(connectParams, connection);
        } catch (...) {
            if (connection) *connection = nullptr;
            return ORU_E_MALLOC;
        }
    });
}

ORU_EXPORT oruError oruDiskLib_DisConnect(oruDiskLibConnection connection) {
    return oru::api_call([&]() -> oruError {
        try {
            return disconnect(connection);
        } catch (...) {
            return ORU_E_MALLOC;
        }
    });
}
