// The simulator's journal: one JSON object per line for every request it
// receives (with the reply it gave) and for every export it starts or stops,
// so that tests and integrators can see exactly what a client sent.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>
#include <string>

namespace oru::sim {

struct HttpRequest;
struct HttpReply;

class RequestLog {
  public:
    // Appends to path; "-" or empty writes to standard output.
    explicit RequestLog(const std::string &path);
    ~RequestLog();
    RequestLog(const RequestLog &) = delete;
    RequestLog &operator=(const RequestLog &) = delete;

    bool ok() const { return out_ != nullptr; }

    // service: "management" or "agent <host id>".
    void request(const std::string &service, const std::string &peer, const HttpRequest &request,
                 const HttpReply &reply);
    // A request that could not be read as HTTP (timeout, garbage, TLS failure).
    void unreadable(const std::string &service, const std::string &peer, const std::string &why);
    void event(const std::string &what, nlohmann::ordered_json details);

  private:
    void write(const nlohmann::ordered_json &line);

    std::mutex mutex_;
    FILE *out_ = nullptr;
    bool owned_ = false;
};

} // namespace oru::sim
