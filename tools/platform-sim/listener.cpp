#include "listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace oru::sim {

UniqueFd listen_tcp(const std::string &address, int port, std::string &why) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        why = "not a dotted IPv4 address: " + address;
        return {};
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        why = std::string("socket: ") + strerror(errno);
        return {};
    }
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(fd.get(), 64) != 0) {
        why = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
        return {};
    }
    return fd;
}

UniqueFd connect_tcp(const std::string &address, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return {};
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) return {};
    return fd;
}

int bound_port(int fd) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&where), &size) != 0) return -1;
    return ntohs(where.sin_port);
}

std::string peer_name(int fd) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&where), &size) != 0) return "?";
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &where.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(where.sin_port));
}

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC)) {
    if (!fd_) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
}

void StopSignal::raise() {
    uint64_t one = 1;
    // Nobody reads the counter, so every poller keeps seeing it readable.
    if (write(fd_.get(), &one, sizeof one) < 0) {
    }
}

Listener::Listener(UniqueFd socket, Handler handler, const StopSignal &stop)
    : socket_(std::move(socket)), handler_(std::move(handler)), stop_(stop),
      thread_([this] { serve(); }) {}

Listener::~Listener() { join(); }

void Listener::join() {
    if (thread_.joinable()) thread_.join();
}

void Listener::reap(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Listener::serve() {
    for (;;) {
        pollfd waits[2] = {{stop_.fd(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waits[0].revents) break;
        if (!(waits[1].revents & POLLIN)) continue;
        UniqueFd connection(accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) continue;
        reap(false);
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::string peer = peer_name(connection.get());
        workers_.push_back({std::thread([this, fd = std::move(connection), peer, done]() mutable {
                                try {
                                    handler_(std::move(fd), peer);
                                } catch (const std::exception &e) {
                                    fprintf(stderr, "oru-platform-sim: connection from %s: %s\n", peer.c_str(), e.what());
                                }
                                done->store(true);
                            }),
                            done});
    }
    reap(true);
}

} // namespace oru::sim
