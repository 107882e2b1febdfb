#include "fault_script.h"

#include <nlohmann/json.hpp>

namespace oru::sim {
namespace {

std::string default_message(long code) {
    switch (code) {
    case 107001:
        return "session expired";
    case 107002:
        return "user name or password is wrong";
    default:
        return "scripted error";
    }
}

} // namespace

std::string error_body(long code, const std::string &message) {
    return nlohmann::json{{"code", code}, {"message", message}}.dump();
}

int error_status(long code) {
    switch (code) {
    case 107001:
    case 107002:
    case 107003:
        return 401;
    case 100404:
        return 404;
    case 100409:
        return 409;
    default:
        return 400;
    }
}

FaultScript::FaultScript(std::vector<FaultRule> rules) {
    for (auto &rule : rules)
        rules_.push_back({std::move(rule), 0});
}

std::optional<HttpReply> FaultScript::reply_for(const std::string &service,
                                                const std::string &host_id,
                                                const HttpRequest &request) {
    std::lock_guard lock(mutex_);
    for (size_t index = 0; index < rules_.size(); ++index) {
        auto &[rule, seen] = rules_[index];
        if (rule.service != service) continue;
        if (!rule.host.empty() && rule.host != host_id) continue;
        if (!rule.method.empty() && rule.method != request.method) continue;
        if (request.target.compare(0, rule.path.size(), rule.path) != 0) continue;
        int turn = seen++;
        if (turn < rule.after || (rule.times >= 0 && turn >= rule.after + rule.times)) continue;
        HttpReply reply;
        reply.note = "fault " + std::to_string(index);
        if (rule.close) {
            reply.close_without_reply = true;
        } else if (rule.silent) {
            reply.silent = true;
        } else if (rule.code) {
            reply.status = rule.status ? rule.status : error_status(*rule.code);
            reply.body = error_body(*rule.code, rule.message.empty() ? default_message(*rule.code)
                                                                     : rule.message);
        } else {
            reply.status = rule.status ? rule.status : 200;
            reply.body = rule.json ? rule.json->dump() : *rule.body;
        }
        return reply;
    }
    return std::nullopt;
}

} // namespace oru::sim
