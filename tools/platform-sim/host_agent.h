// The host agent of one simulated host: answers POST "/vm" with action
// "pre_remote_rw" by exporting the volume's image through qemu-nbd under the
// volume UUID, and replies {"serverPort":"<port>"}, or "null" when it made
// no export.
#pragma once

#include "http_exchange.h"
#include "nbd_exports.h"
#include "sim_config.h"

namespace oru::sim {

class HostAgent {
  public:
    HostAgent(const Config &config, const Host &host, NbdExports &exports)
        : config_(config), host_(host), exports_(exports) {}

    HttpReply handle(const HttpRequest &request);
    const Host &host() const { return host_; }

  private:
    const Config &config_;
    const Host &host_;
    NbdExports &exports_;
};

} // namespace oru::sim
