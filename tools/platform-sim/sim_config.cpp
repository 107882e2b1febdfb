#include "sim_config.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace oru::sim {
namespace {

using nlohmann::json;

std::string text_member(const json &object, const char *name, const std::string &fallback = {}) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return fallback;
    if (!it->is_string()) throw std::runtime_error(std::string("\"") + name + "\" must be a text");
    return it->get<std::string>();
}

std::string required_text(const json &object, const char *name, const char *what) {
    std::string value = text_member(object, name);
    if (value.empty())
        throw std::runtime_error(std::string(what) + " needs a non-empty \"" + name + "\"");
    return value;
}

std::vector<std::string> text_list(const json &object, const char *name,
                                   std::vector<std::string> fallback = {}) {
    auto it = object.find(name);
    if (it == object.end()) return fallback;
    if (!it->is_array()) throw std::runtime_error(std::string("\"") + name + "\" must be a list");
    std::vector<std::string> words;
    for (const auto &item : *it) {
        if (!item.is_string())
            throw std::runtime_error(std::string("\"") + name + "\" must hold texts");
        words.push_back(item.get<std::string>());
    }
    return words;
}

const json &list_member(const json &document, const char *name) {
    static const json empty = json::array();
    auto it = document.find(name);
    if (it == document.end()) return empty;
    if (!it->is_array()) throw std::runtime_error(std::string("\"") + name + "\" must be a list");
    return *it;
}

User parse_user(const json &item) {
    User user;
    user.name = required_text(item, "name", "a user");
    user.password = text_member(item, "password");
    user.user_id = text_member(item, "userId", "user-" + user.name);
    for (const auto &key : list_member(item, "accessKeys"))
        user.keys.push_back({required_text(key, "id", "an access key"),
                             required_text(key, "secret", "an access key")});
    return user;
}

Host parse_host(const json &item) {
    Host host;
    host.id = required_text(item, "id", "a host");
    host.address = required_text(item, "address", "a host");
    host.backup_address = text_member(item, "backupAddress");
    if (auto it = item.find("cpuUsage"); it != item.end()) {
        if (!it->is_number()) throw std::runtime_error("\"cpuUsage\" must be a number");
        host.cpu_usage = it->get<double>();
    }
    host.status = text_member(item, "status", host.status);
    host.mount_state = text_member(item, "monMountState", host.mount_state);
    host.data_stores = text_list(item, "dataStores");
    host.agent = item.value("agent", true);
    return host;
}

Volume parse_volume(const json &item) {
    Volume volume;
    volume.uuid = required_text(item, "uuid", "a volume");
    volume.data_store = text_member(item, "dataStore");
    volume.image = text_member(item, "image");
    volume.in_use = item.value("inUse", false);
    volume.task_states = text_list(item, "taskStates");
    if (auto it = item.find("bitmaps"); it != item.end()) {
        if (it->is_boolean())
            volume.all_bitmaps = it->get<bool>();
        else if (it->is_array())
            volume.bitmaps = text_list(item, "bitmaps");
        else
            throw std::runtime_error("a volume's \"bitmaps\" is true, false or a list of names");
    }
    return volume;
}

FaultRule parse_fault(const json &item) {
    FaultRule rule;
    rule.service = text_member(item, "service", rule.service);
    if (rule.service != "management" && rule.service != "agent")
        throw std::runtime_error("a fault's \"service\" is \"management\" or \"agent\"");
    rule.host = text_member(item, "host");
    rule.method = text_member(item, "method");
    rule.path = text_member(item, "path");
    rule.after = item.value("after", 0);
    rule.times = item.value("times", -1);
    if (auto it = item.find("code"); it != item.end()) {
        if (!it->is_number_integer())
            throw std::runtime_error("a fault's \"code\" must be an integer");
        rule.code = it->get<long>();
    }
    rule.message = text_member(item, "message");
    if (auto it = item.find("json"); it != item.end()) rule.json = *it;
    if (auto it = item.find("body"); it != item.end()) rule.body = it->get<std::string>();
    rule.close = item.value("close", false);
    rule.silent = item.value("silent", false);
    rule.status = item.value("status", 0);
    int replies = rule.code.has_value() + rule.json.has_value() + rule.body.has_value() +
                  rule.close + rule.silent;
    if (replies != 1)
        throw std::runtime_error(
            "a fault needs exactly one of \"code\", \"json\", \"body\", \"close\", \"silent\"");
    return rule;
}

// A whole number within [low, high], or true for fallback; false or absent
// give 0.
long bounded_number(const json &object, const char *name, long low, long high, long fallback) {
    auto it = object.find(name);
    if (it == object.end() || (it->is_boolean() && !it->get<bool>())) return 0;
    if (it->is_boolean()) return fallback;
    if (!it->is_number_integer() || it->get<long>() < low || it->get<long>() > high)
        throw std::runtime_error(std::string("\"") + name +
                                 "\" must be true, false or a whole number from " +
                                 std::to_string(low) + " to " + std::to_string(high));
    return it->get<long>();
}

ReplyHabits parse_habits(const json &item) {
    if (!item.is_object()) throw std::runtime_error("must be an object");
    for (const auto &[name, value] : item.items())
        if (name != "keepAlive" && name != "chunked" && name != "chunkExtras" &&
            name != "dribble" && name != "silent")
            throw std::runtime_error("unknown member \"" + name + "\"");
    ReplyHabits habits;
    habits.keep_alive_seconds = static_cast<int>(bounded_number(item, "keepAlive", 1, 3600, 20));
    habits.chunk_bytes = static_cast<size_t>(bounded_number(item, "chunked", 1, 1 << 20, 16));
    habits.chunk_extras = item.value("chunkExtras", false);
    if (auto it = item.find("dribble");
        it != item.end() && !(it->is_boolean() && !it->get<bool>())) {
        habits.dribble_bytes = 3;
        habits.dribble_pause_ms = 20;
        if (it->is_object()) {
            habits.dribble_bytes = static_cast<size_t>(bounded_number(*it, "bytes", 1, 1 << 20, 3));
            if (it->contains("pauseMs"))
                habits.dribble_pause_ms =
                    static_cast<int>(bounded_number(*it, "pauseMs", 0, 60000, 20));
            if (habits.dribble_bytes == 0) habits.dribble_bytes = 3;
        } else if (!it->is_boolean()) {
            throw std::runtime_error("\"dribble\" must be true or {\"bytes\", \"pauseMs\"}");
        }
    }
    habits.silent = item.value("silent", false);
    return habits;
}

template <typename T, typename Parse>
std::vector<T> parse_list(const json &document, const char *name, Parse parse) {
    std::vector<T> items;
    size_t index = 0;
    for (const auto &item : list_member(document, name)) {
        if (!item.is_object())
            throw std::runtime_error(std::string("\"") + name + "\" must hold objects");
        try {
            items.push_back(parse(item));
        } catch (const std::exception &e) {
            throw std::runtime_error(std::string(name) + "[" + std::to_string(index) +
                                     "]: " + e.what());
        }
        ++index;
    }
    return items;
}

} // namespace

const Host *Config::host_by_id(const std::string &id) const {
    for (const auto &host : hosts)
        if (host.id == id) return &host;
    return nullptr;
}

const Volume *Config::volume_by_uuid(const std::string &uuid) const {
    for (const auto &volume : volumes)
        if (volume.uuid == uuid) return &volume;
    return nullptr;
}

Config parse_config(const json &document) {
    if (!document.is_object()) throw std::runtime_error("the configuration must be a JSON object");
    Config config;
    try {
        config.address = text_member(document, "address", config.address);
        config.users = parse_list<User>(document, "users", parse_user);
        config.hosts = parse_list<Host>(document, "hosts", parse_host);
        config.volumes = parse_list<Volume>(document, "volumes", parse_volume);
        config.faults = parse_list<FaultRule>(document, "faults", parse_fault);
        if (auto it = document.find("replies"); it != document.end()) {
            if (!it->is_object()) throw std::runtime_error("\"replies\" must be an object");
            for (const auto &[service, habits] : it->items()) {
                if (service != "management" && service != "agent")
                    throw std::runtime_error(
                        "\"replies\" has \"management\" and \"agent\", not \"" + service + "\"");
                try {
                    (service == "management" ? config.management_replies : config.agent_replies) =
                        parse_habits(habits);
                } catch (const std::runtime_error &e) {
                    throw std::runtime_error("replies." + service + ": " + e.what());
                }
            }
        }
        if (auto it = document.find("taskStates"); it != document.end()) {
            config.open_mode_states = text_list(*it, "openMode", config.open_mode_states);
            config.access_key_states = text_list(*it, "accessKey", config.access_key_states);
        }
    } catch (const nlohmann::json::exception &e) {
        throw std::runtime_error(e.what());
    }
    if (config.open_mode_states.empty() || config.access_key_states.empty())
        throw std::runtime_error("a task needs at least one state");
    for (size_t i = 0; i < config.hosts.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (config.hosts[i].id == config.hosts[j].id ||
                (config.hosts[i].agent && config.hosts[j].agent &&
                 config.hosts[i].address == config.hosts[j].address))
                throw std::runtime_error("hosts " + config.hosts[j].id + " and " +
                                         config.hosts[i].id + " share an id or an agent address");
    return config;
}

nlohmann::json read_config_file(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    try {
        return json::parse(in);
    } catch (const nlohmann::json::exception &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string directory_of(const std::string &path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

Config load_config(const std::string &path) {
    Config config = parse_config(read_config_file(path));
    config.image_dir = directory_of(path);
    return config;
}

nlohmann::json flag_object(const std::string &text) {
    json object = json::object();
    for (const auto &pair : split_list(text)) {
        size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0)
            throw std::runtime_error("expected name=value in: " + pair);
        std::string name = pair.substr(0, eq), value = pair.substr(eq + 1);
        const bool boolean = value == "true" || value == "false";
        if (name == "dataStores" || name == "taskStates" || (name == "bitmaps" && !boolean)) {
            json list = json::array();
            std::stringstream words(value);
            for (std::string word; std::getline(words, word, '+');)
                if (!word.empty()) list.push_back(word);
            object[name] = list;
        } else if (name == "cpuUsage") {
            try {
                object[name] = std::stod(value);
            } catch (const std::exception &) {
                throw std::runtime_error("cpuUsage must be a number: " + value);
            }
        } else if (boolean) {
            object[name] = value == "true";
        } else {
            object[name] = value;
        }
    }
    return object;
}

std::vector<std::string> split_list(const std::string &text) {
    std::vector<std::string> words;
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ','))
        if (!word.empty()) words.push_back(word);
    return words;
}

} // namespace oru::sim
