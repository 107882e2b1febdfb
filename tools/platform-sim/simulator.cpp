#include "simulator.h"

namespace oru::sim {

Simulator::Simulator(Config config, Options options)
    : config_(std::move(config)), options_(std::move(options)), log_(options_.log_path),
      faults_(config_.faults), management_(config_),
      exports_(log_, find_program(options_.qemu_nbd), options_.work_dir) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(std::string &why) {
    if (!log_.ok()) {
        why = "cannot open the log " + options_.log_path;
        return false;
    }
    tls_ = make_server_context(config_.address, options_.cert_out, why);
    if (!tls_) return false;
    UniqueFd management = listen_tcp(config_.address, config_.management_port, why);
    if (!management) return false;
    std::list<UniqueFd> agent_sockets;
    for (const auto &host : config_.hosts) {
        if (!host.agent) continue;
        UniqueFd socket = listen_tcp(host.address, config_.agent_port, why);
        if (!socket) return false;
        agent_sockets.push_back(std::move(socket));
    }
    // Every socket is open: only now start serving, so that a failure above
    // leaves no thread behind.
    listeners_.emplace_back(
        std::move(management), [this](UniqueFd fd, const std::string &peer) { serve_management(std::move(fd), peer); },
        stop_);
    for (const auto &host : config_.hosts) {
        if (!host.agent) continue;
        HostAgent &agent = agents_.emplace_back(config_, host, exports_);
        listeners_.emplace_back(
            std::move(agent_sockets.front()),
            [this, &agent](UniqueFd fd, const std::string &peer) { serve_agent(agent, std::move(fd), peer); }, stop_);
        agent_sockets.pop_front();
    }
    return true;
}

void Simulator::stop() {
    if (stopped_) return;
    stopped_ = true;
    stop_.raise();
    for (auto &listener : listeners_) listener.join();
    exports_.stop_all();
}

std::string Simulator::endpoints() const {
    std::string text = "management https://" + config_.address + ":" + std::to_string(config_.management_port);
    for (const auto &host : config_.hosts)
        if (host.agent) text += ", agent " + host.id + " http://" + host.address + ":" + std::to_string(config_.agent_port);
    return text;
}

void Simulator::exchange(Channel &channel, const std::string &service, const std::string &host_id,
                         const std::string &peer, const std::function<HttpReply(const HttpRequest &)> &handle) {
    std::string why;
    auto request = read_request(channel, why);
    std::string journal_name = host_id.empty() ? service : service + " " + host_id;
    if (!request) {
        log_.unreadable(journal_name, peer, why);
        channel.finish();
        return;
    }
    HttpReply reply;
    if (auto scripted = faults_.reply_for(service, host_id, *request))
        reply = std::move(*scripted);
    else
        reply = handle(*request);
    log_.request(journal_name, peer, *request, reply);
    if (!reply.close_without_reply && !channel.write_once(reply_text(reply)))
        log_.unreadable(journal_name, peer, "the reply could not be written");
    channel.finish();
}

void Simulator::serve_management(UniqueFd connection, const std::string &peer) {
    set_socket_timeouts(connection.get(), options_.timeout_seconds);
    std::string why;
    auto channel = TlsChannel::accept(tls_.get(), std::move(connection), why);
    if (!channel) {
        log_.unreadable("management", peer, why);
        return;
    }
    exchange(*channel, "management", "", peer, [this](const HttpRequest &r) { return management_.handle(r); });
}

void Simulator::serve_agent(HostAgent &agent, UniqueFd connection, const std::string &peer) {
    set_socket_timeouts(connection.get(), options_.timeout_seconds);
    PlainChannel channel(std::move(connection));
    exchange(channel, "agent", agent.host().id, peer, [&agent](const HttpRequest &r) { return agent.handle(r); });
}

} // namespace oru::sim
