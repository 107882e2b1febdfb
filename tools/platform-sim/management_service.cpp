#include "management_service.h"

#include "fault_script.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace oru::sim {
namespace {

using json = nlohmann::ordered_json;

constexpr const char *kHex = "0123456789abcdef";
// Upper case only: a generated key can never hold the letters "code".
constexpr const char *kKeyAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

HttpReply error_reply(long code, const std::string &message) {
    return {error_status(code), error_body(code, message), false, {}};
}

HttpReply json_reply(const json &body) { return {200, body.dump(), false, {}}; }

std::vector<std::string> segments(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The text members of a JSON request body; false when the body is not an
// object holding them all as texts.
bool body_texts(const std::string &body, std::initializer_list<std::pair<const char *, std::string *>> wanted) {
    json document = json::parse(body, nullptr, false);
    if (!document.is_object()) return false;
    for (const auto &[name, out] : wanted) {
        auto it = document.find(name);
        if (it == document.end() || !it->is_string()) return false;
        *out = it->get<std::string>();
    }
    return true;
}

} // namespace

ManagementService::ManagementService(const Config &config) : config_(config), random_(std::random_device{}()) {
    for (size_t user = 0; user < config.users.size(); ++user)
        for (const auto &key : config.users[user].keys) keys_.push_back({user, key});
}

std::string ManagementService::random_text(size_t length, const char *alphabet) {
    size_t size = std::char_traits<char>::length(alphabet);
    std::string text;
    for (size_t i = 0; i < length; ++i) text += alphabet[random_() % size];
    return text;
}

std::string ManagementService::new_task(Task task) {
    std::string id = "task-" + std::to_string(++task_serial_) + "-" + random_text(8, kHex);
    tasks_.emplace(id, std::move(task));
    return id;
}

bool ManagementService::authorize(const HttpRequest &request, size_t &user, HttpReply &refusal) {
    std::string value = request.header("Authorization").value_or("");
    if (value.rfind("ORU ", 0) == 0) {
        std::string pair = value.substr(4);
        for (const auto &entry : keys_)
            if (pair == entry.key.id + ":" + entry.key.secret) {
                user = entry.user;
                return true;
            }
        refusal = error_reply(kKeyRejected, "access key is not valid");
        return false;
    }
    auto it = sessions_.find(value);
    if (it == sessions_.end()) {
        refusal = error_reply(kSessionExpired, "session expired");
        return false;
    }
    user = it->second;
    return true;
}

HttpReply ManagementService::handle(const HttpRequest &request) {
    std::lock_guard lock(mutex_);
    const std::string path = request.path();
    const std::string &method = request.method;
    if (method == "POST" && path == "/system/user/sdklogin") return login(request);
    if (method == "GET" && path == "/sim/state") return state();

    size_t user = 0;
    HttpReply refusal;
    if (!authorize(request, user, refusal)) return refusal;

    auto parts = segments(path);
    if (method == "GET" && path == "/system/user/logout") return logout(request);
    if (method == "GET" && path == "/system/user/info") return user_info(user);
    if (method == "GET" && path == "/accesskeys") return list_keys();
    if (method == "POST" && path == "/accesskeys") return create_key(request);
    if (method == "GET" && parts.size() == 2 && parts[0] == "tasks") return poll_task(parts[1]);
    if (method == "PUT" && path == "/volumes") return set_open_mode(request);
    if (method == "GET" && parts.size() == 3 && parts[0] == "storages" && parts[2] == "hosts")
        return list_hosts(parts[1]);
    if (method == "GET" && parts.size() == 3 && parts[0] == "hosts" && parts[2] == "networks")
        return list_backup_network(parts[1]);
    return error_reply(kNotFound, "no such request: " + method + " " + path);
}

HttpReply ManagementService::login(const HttpRequest &request) {
    std::string name, password;
    if (!body_texts(request.body, {{"username", &name}, {"password", &password}}))
        return error_reply(kBadRequest, "login body must be a JSON object with \"username\" and \"password\"");
    for (size_t user = 0; user < config_.users.size(); ++user) {
        const User &known = config_.users[user];
        if (known.name != name || known.password != password) continue;
        std::string session = random_text(32, kHex);
        sessions_[session] = user;
        return json_reply({{"sessonId", session}, {"userId", known.user_id}, {"username", known.name}});
    }
    return error_reply(kWrongPassword, "user name or password is wrong");
}

HttpReply ManagementService::logout(const HttpRequest &request) {
    // An access key has no session to end; the key itself stays valid.
    sessions_.erase(request.header("Authorization").value_or(""));
    return json_reply({{"result", "logged out"}});
}

HttpReply ManagementService::user_info(size_t user) {
    const User &known = config_.users[user];
    return json_reply({{"userId", known.user_id}, {"username", known.name}});
}

HttpReply ManagementService::list_keys() {
    // Every user's keys are listed: clients pick their own by "userId".
    json items = json::array();
    for (const auto &entry : keys_)
        items.push_back({{"userId", config_.users[entry.user].user_id},
                         {"accessKeyId", entry.key.id},
                         {"accessKeySecret", entry.key.secret}});
    return json_reply({{"totalSize", items.size()}, {"items", items}});
}

HttpReply ManagementService::create_key(const HttpRequest &request) {
    std::string user_id;
    if (!body_texts(request.body, {{"userId", &user_id}}))
        return error_reply(kBadRequest, "body must be a JSON object with \"userId\"");
    for (size_t user = 0; user < config_.users.size(); ++user) {
        if (config_.users[user].user_id != user_id) continue;
        Task task;
        task.states = config_.access_key_states;
        task.user = user;
        return json_reply({{"taskId", new_task(std::move(task))}});
    }
    return error_reply(kNotFound, "user not found: " + user_id);
}

HttpReply ManagementService::poll_task(const std::string &id) {
    auto it = tasks_.find(id);
    if (it == tasks_.end()) return error_reply(kNotFound, "task not found: " + id);
    Task &task = it->second;
    const std::string &state = task.states[std::min(task.polls, task.states.size() - 1)];
    ++task.polls;
    if (state == "FINISHED" && !task.settled) {
        task.settled = true;
        if (task.user != SIZE_MAX)
            keys_.push_back({task.user, {"AK" + random_text(18, kKeyAlphabet), random_text(32, kKeyAlphabet)}});
        else
            open_modes_[task.volume_uuid] = task.open_mode;
    }
    return json_reply({{"taskId", id}, {"state", state}});
}

HttpReply ManagementService::set_open_mode(const HttpRequest &request) {
    if (request.query("action") != "setOpenMode")
        return error_reply(kBadRequest, "unknown volume action: " + request.query("action"));
    std::string uuid, mode;
    if (!body_texts(request.body, {{"uuid", &uuid}, {"openMode", &mode}}))
        return error_reply(kBadRequest, "body must be a JSON object with \"uuid\" and \"openMode\"");
    if (mode != "READ" && mode != "READ_WRITE" && mode != "CLOSED")
        return error_reply(kBadRequest, "unknown open mode: " + mode);
    const Volume *volume = config_.volume_by_uuid(uuid);
    if (!volume) return error_reply(kNotFound, "volume not found: " + uuid);
    Task task;
    task.states = volume->task_states.empty() ? config_.open_mode_states : volume->task_states;
    if (volume->in_use) task.states.back() = "ERROR"; // opened elsewhere: the mode cannot change
    task.volume_uuid = uuid;
    task.open_mode = mode;
    return json_reply({{"taskId", new_task(std::move(task))}});
}

HttpReply ManagementService::list_hosts(const std::string &data_store) {
    json items = json::array();
    bool known = false;
    for (const auto &volume : config_.volumes) known = known || volume.data_store == data_store;
    for (const auto &host : config_.hosts) {
        if (std::find(host.data_stores.begin(), host.data_stores.end(), data_store) == host.data_stores.end())
            continue;
        known = true;
        items.push_back({{"id", host.id},
                         {"name", host.address},
                         {"cpuUsage", host.cpu_usage},
                         {"status", host.status},
                         {"monMountState", host.mount_state}});
    }
    if (!known) return error_reply(kNotFound, "data store not found: " + data_store);
    return json_reply({{"totalSize", items.size()}, {"items", items}});
}

HttpReply ManagementService::list_backup_network(const std::string &host_id) {
    const Host *host = config_.host_by_id(host_id);
    if (!host) return error_reply(kNotFound, "host not found: " + host_id);
    json networks = json::array();
    if (!host->backup_address.empty())
        networks.push_back({{"name", "backup"},
                            {"useType", "backup"},
                            {"portDtos", json::array({{{"ip", host->backup_address}}})}});
    return json_reply(networks);
}

HttpReply ManagementService::state() {
    json keys = json::array();
    for (const auto &entry : keys_)
        keys.push_back({{"userId", config_.users[entry.user].user_id}, {"accessKeyId", entry.key.id}});
    json tasks = json::object();
    for (const auto &[id, task] : tasks_) tasks[id] = {{"polls", task.polls}, {"states", task.states}};
    return json_reply({{"sessions", sessions_.size()},
                       {"accessKeys", keys},
                       {"openModes", open_modes_},
                       {"tasks", tasks}});
}

} // namespace oru::sim
