#include "request_log.h"

#include "http_exchange.h"

#include <ctime>

namespace oru::sim {
namespace {

std::string timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

} // namespace

RequestLog::RequestLog(const std::string &path) {
    if (path.empty() || path == "-") {
        out_ = stdout;
    } else {
        out_ = fopen(path.c_str(), "ae");
        owned_ = true;
    }
}

RequestLog::~RequestLog() {
    if (owned_ && out_) fclose(out_);
}

void RequestLog::write(const nlohmann::ordered_json &line) {
    // Bodies come from clients and may hold any bytes; replace what is not UTF-8.
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::lock_guard lock(mutex_);
    if (!out_) return;
    fprintf(out_, "%s\n", text.c_str());
    fflush(out_);
}

void RequestLog::request(const std::string &service, const std::string &peer,
                         const HttpRequest &request, const HttpReply &reply) {
    nlohmann::ordered_json headers = nlohmann::ordered_json::array();
    for (const auto &[name, value] : request.headers)
        headers.push_back({name, value});
    nlohmann::ordered_json line = {
        {"time", timestamp()},      {"service", service},       {"peer", peer},
        {"method", request.method}, {"target", request.target}, {"version", request.version},
        {"headers", headers},       {"body", request.body},
    };
    if (reply.close_without_reply)
        line["reply"] = {{"closed", true}};
    else if (reply.silent)
        line["reply"] = {{"silent", true}};
    else
        line["reply"] = {{"status", reply.status}, {"body", reply.body}};
    if (!reply.note.empty()) line["note"] = reply.note;
    write(line);
}

void RequestLog::unreadable(const std::string &service, const std::string &peer,
                            const std::string &why) {
    write({{"time", timestamp()}, {"service", service}, {"peer", peer}, {"unreadable", why}});
}

void RequestLog::event(const std::string &what, nlohmann::ordered_json details) {
    nlohmann::ordered_json line = {{"time", timestamp()}, {"event", what}};
    line.update(details);
    write(line);
}

} // namespace oru::sim
