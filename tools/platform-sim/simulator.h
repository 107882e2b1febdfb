// The whole simulated platform: the management server (TLS) on
// <address>:<management port>, one host agent (plain HTTP) per host on
// <host address>:<agent port>, the scripted faults, the exports and the
// journal. A connection carries one request and one reply, then ends, unless
// the service's reply habits keep it alive for more.
#pragma once

#include "fault_script.h"
#include "host_agent.h"
#include "listener.h"
#include "management_service.h"
#include "nbd_exports.h"
#include "request_log.h"
#include "sim_config.h"
#include "tls_identity.h"

#include <list>
#include <memory>
#include <string>

namespace oru::sim {

struct Options {
    std::string log_path = "-";
    std::string cert_out;
    std::string qemu_nbd = "qemu-nbd";
    std::string work_dir;     // scratch space for the exports' messages
    int timeout_seconds = 10; // for a client to send its request
};

class Simulator {
  public:
    Simulator(Config config, Options options);
    ~Simulator();

    // Opens every listener; false (with the reason) when one cannot be opened.
    bool start(std::string &why);
    // Stops serving, then stops every export. Safe to call twice.
    void stop();
    RequestLog &log() { return log_; }
    // A one-line summary of where each service listens.
    std::string endpoints() const;

  private:
    void serve_management(UniqueFd connection, const std::string &peer);
    void serve_agent(HostAgent &agent, UniqueFd connection, const std::string &peer);
    void exchange(Channel &channel, const std::string &service, const std::string &host_id,
                  const std::string &peer, const ReplyHabits &habits,
                  const std::function<HttpReply(const HttpRequest &)> &handle);
    // Sends the reply in the writes the habits make; false when one failed.
    bool send_reply(Channel &channel, const HttpReply &reply, const ReplyHabits &habits,
                    bool keep_alive);
    // Waits up to ms for the client to send more; false on silence, or
    // when the simulator stops.
    bool client_speaks(int fd, int ms);
    // Keeps a connection open without a word until the client gives up or
    // the simulator stops; what the client sends is read and dropped.
    void hold(int fd);

    Config config_;
    Options options_;
    RequestLog log_;
    FaultScript faults_;
    ManagementService management_;
    NbdExports exports_;
    std::list<HostAgent> agents_;
    ServerContext tls_;
    StopSignal stop_;
    std::list<Listener> listeners_;
    bool stopped_ = false;
};

} // namespace oru::sim
