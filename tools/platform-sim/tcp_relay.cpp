#include "tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace oru::sim {
namespace {

// qemu-nbd leaves Nagle's algorithm on: a small reply behind one not yet
// acknowledged waits for our acknowledgement, which the kernel delays by up
// to 40 ms while the relay has nothing to send that way (every end of a
// client's batch of requests). Quick-ack mode ends by itself, so it is asked
// for before every read.
void quick_acks(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Both directions stop at once when one side fails.
void abort_link(int from, int to) {
    shutdown(from, SHUT_RDWR);
    shutdown(to, SHUT_RDWR);
}

// Copies through user space: the fallback where splice() is refused.
void copy(int from, int to) {
    char buffer[64 * 1024];
    for (;;) {
        quick_acks(from);
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return abort_link(from, to);
            done += w;
        }
    }
    shutdown(to, SHUT_WR);
}

// Copies one direction until its end, then passes the end on. The bytes
// move from socket to socket through a pipe inside the kernel, so that a
// relayed export reads about as fast as the export itself.
void pump(int from, int to) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return copy(from, to);
    UniqueFd in(pipe_ends[1]), out(pipe_ends[0]);
    constexpr size_t kPipeBytes = 1024 * 1024;
    fcntl(in.get(), F_SETPIPE_SZ, static_cast<int>(kPipeBytes)); // a smaller pipe only costs calls
    for (bool first = true;; first = false) {
        quick_acks(from);
        ssize_t n = splice(from, nullptr, in.get(), nullptr, kPipeBytes, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && first) return copy(from, to);
        if (n <= 0) break;
        while (n > 0) {
            ssize_t w =
                splice(out.get(), nullptr, to, nullptr, static_cast<size_t>(n), SPLICE_F_MOVE);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return abort_link(from, to);
            n -= w;
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
