#include "tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace oru::sim {
namespace {

// Copies one direction until its end, then passes the end on.
void pump(int from, int to) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                shutdown(from, SHUT_RDWR);
                shutdown(to, SHUT_RDWR);
                return;
            }
            done += w;
        }
    }
    shutdown(to, SHUT_WR);
}

} // namespace

TcpRelay::TcpRelay(UniqueFd listening, std::string target_address, int target_port)
    : listening_(std::move(listening)), target_address_(std::move(target_address)),
      target_port_(target_port), acceptor_([this] { accept_loop(); }) {}

TcpRelay::~TcpRelay() {
    stop_.raise();
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard lock(mutex_);
    for (auto &link : links_) {
        shutdown(link.client.get(), SHUT_RDWR);
        shutdown(link.server.get(), SHUT_RDWR);
    }
    for (auto &link : links_) {
        link.upstream.join();
        link.downstream.join();
    }
}

void TcpRelay::accept_loop() {
    for (;;) {
        pollfd waits[2] = {{stop_.fd(), POLLIN, 0}, {listening_.get(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[0].revents) return;
        UniqueFd client(accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        UniqueFd server = connect_tcp(target_address_, target_port_);
        if (!server) continue; // the export is gone: the client sees its connection end
        // NBD replies to small requests (a hole, a short read) are small
        // writes: held back by Nagle's algorithm until the previous one is
        // acknowledged, each would wait for a delayed acknowledgement.
        int one = 1;
        setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        Link &link = links_.emplace_back();
        link.client = std::move(client);
        link.server = std::move(server);
        int c = link.client.get(), s = link.server.get();
        link.upstream = std::thread(pump, c, s);
        link.downstream = std::thread(pump, s, c);
    }
}

} // namespace oru::sim
