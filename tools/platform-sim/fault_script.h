// The scripted faults: each request is checked against the rules in order;
// the first rule that matches and is due replaces the service's reply.
#pragma once

#include "http_exchange.h"
#include "sim_config.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace oru::sim {

// The error object every service answers with: {"code":code,"message":message}.
std::string error_body(long code, const std::string &message);

// The HTTP status that goes with an error code.
int error_status(long code);

class FaultScript {
  public:
    explicit FaultScript(std::vector<FaultRule> rules);

    // The scripted reply for a request to service ("management" or "agent"
    // on host_id), or nullopt when no rule fires.
    std::optional<HttpReply> reply_for(const std::string &service, const std::string &host_id,
                                       const HttpRequest &request);

  private:
    struct Armed {
        FaultRule rule;
        int seen = 0; // matching requests so far
    };
    std::mutex mutex_;
    std::vector<Armed> rules_;
};

} // namespace oru::sim
