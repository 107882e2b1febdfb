#include "simulator.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace oru::sim {

Simulator::Simulator(Config config, Options options)
    : config_(std::move(config)), options_(std::move(options)), log_(options_.log_path),
      faults_(config_.faults), management_(config_),
      exports_(log_, find_program(options_.qemu_nbd), options_.work_dir) {}

Simulator::~Simulator() {
    stop();
}

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
        std::move(management),
        [this](UniqueFd fd, const std::string &peer) { serve_management(std::move(fd), peer); },
        stop_);
    for (const auto &host : config_.hosts) {
        if (!host.agent) continue;
        HostAgent &agent = agents_.emplace_back(config_, host, exports_);
        listeners_.emplace_back(
            std::move(agent_sockets.front()),
            [this, &agent](UniqueFd fd, const std::string &peer) {
                serve_agent(agent, std::move(fd), peer);
            },
            stop_);
        agent_sockets.pop_front();
    }
    return true;
}

void Simulator::stop() {
    if (stopped_) return;
    stopped_ = true;
    stop_.raise();
    for (auto &listener : listeners_)
        listener.join();
    exports_.stop_all();
}

std::string Simulator::endpoints() const {
    std::string text =
        "management https://" + config_.address + ":" + std::to_string(config_.management_port);
    for (const auto &host : config_.hosts)
        if (host.agent)
            text += ", agent " + host.id + " http://" + host.address + ":" +
                    std::to_string(config_.agent_port);
    return text;
}

bool Simulator::client_speaks(int fd, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waits[2] = {{stop_.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        int n = poll(waits, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || waits[0].revents) return false;
        if (waits[1].revents) return true; // a request, or the end that ends the connection
    }
}

void Simulator::hold(int fd) {
    char sink[4096];
    for (;;) {
        pollfd waits[2] = {{stop_.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        int n = poll(waits, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || waits[0].revents) return;
        if (waits[1].revents && recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0) return;
        if (waits[1].revents & (POLLERR | POLLHUP)) return;
    }
}

bool Simulator::send_reply(Channel &channel, const HttpReply &reply, const ReplyHabits &habits,
                           bool keep_alive) {
    bool first = true;
    for (const auto &piece : reply_writes(reply, habits, keep_alive)) {
        if (!first && habits.dribble_pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(habits.dribble_pause_ms));
        first = false;
        if (!channel.write_once(piece)) return false;
    }
    return true;
}

void Simulator::exchange(Channel &channel, const std::string &service, const std::string &host_id,
                         const std::string &peer, const ReplyHabits &habits,
                         const std::function<HttpReply(const HttpRequest &)> &handle) {
    std::string journal_name = host_id.empty() ? service : service + " " + host_id;
    std::string carry;
    for (bool first = true;; first = false) {
        // A kept connection waits for the client's next request, and ends
        // after keepAlive seconds without one, as servers do.
        if (!first && carry.empty() && !channel.has_buffered() &&
            !client_speaks(channel.fd(), habits.keep_alive_seconds * 1000))
            break;
        std::string why;
        auto request = read_request(channel, why, carry);
        if (!request) {
            // A client that closes a kept connection has simply finished.
            if (first || why != kClosedBetweenRequests) log_.unreadable(journal_name, peer, why);
            break;
        }
        HttpReply reply;
        if (auto scripted = faults_.reply_for(service, host_id, *request))
            reply = std::move(*scripted);
        else
            reply = handle(*request);
        log_.request(journal_name, peer, *request, reply);
        if (reply.silent) hold(channel.fd());
        if (reply.silent || reply.close_without_reply) break;
        bool keep_alive = habits.keep_alive_seconds > 0 && client_keeps_alive(*request);
        if (!send_reply(channel, reply, habits, keep_alive)) {
            log_.unreadable(journal_name, peer, "the reply could not be written");
            break;
        }
        if (!keep_alive) break;
    }
    channel.finish();
}

void Simulator::serve_management(UniqueFd connection, const std::string &peer) {
    if (config_.management_replies.silent) {
        hold(connection.get()); // not even the TLS handshake
        return;
    }
    set_socket_timeouts(connection.get(), options_.timeout_seconds);
    std::string why;
    auto channel = TlsChannel::accept(tls_.get(), std::move(connection), why);
    if (!channel) {
        log_.unreadable("management", peer, why);
        return;
    }
    exchange(*channel, "management", "", peer, config_.management_replies,
             [this](const HttpRequest &r) { return management_.handle(r); });
}

void Simulator::serve_agent(HostAgent &agent, UniqueFd connection, const std::string &peer) {
    if (config_.agent_replies.silent) {
        hold(connection.get());
        return;
    }
    set_socket_timeouts(connection.get(), options_.timeout_seconds);
    PlainChannel channel(std::move(connection));
    exchange(channel, "agent", agent.host().id, peer, config_.agent_replies,
             [&agent](const HttpRequest &r) { return agent.handle(r); });
}

} // namespace oru::sim
