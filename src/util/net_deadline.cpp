#include "util/net_deadline.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace oru::net {

namespace {

// A whole number from the environment within [low, high], or fallback.
int seconds_from_env(const char *name, int low, int high, int fallback) {
    const char *text = std::getenv(name);
    if (!text || !*text) return fallback;
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return fallback;
    return static_cast<int>(value);
}

} // namespace

int timeout_seconds() { return seconds_from_env("ORU_NET_TIMEOUT", 1, 3600, 60); }

int task_timeout_seconds() { return seconds_from_env("ORU_TASK_TIMEOUT", 1, 86400, 600); }

Deadline::Deadline() : Deadline(std::chrono::seconds(timeout_seconds())) {}

Deadline::Deadline(std::chrono::milliseconds limit)
    : end_(std::chrono::steady_clock::now() + limit) {}

bool Deadline::expired() const { return std::chrono::steady_clock::now() >= end_; }

int Deadline::remaining_ms() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    if (left.count() > INT_MAX) return INT_MAX;
    return static_cast<int>(left.count());
}

int wait_ready(int fd, short events, const Deadline &deadline) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int n = ::poll(&p, 1, deadline.remaining_ms());
        if (n > 0) return 1;
        if (n == 0) {
            // poll() may wake a little early; only a passed deadline counts.
            if (!deadline.expired()) continue;
            errno = ETIMEDOUT;
            return 0;
        }
        if (errno != EINTR) return -1;
    }
}

int connect_within(int fd, const struct sockaddr *address, socklen_t length,
                   const Deadline &deadline) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    int rc = ::connect(fd, address, length);
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && (error == EINPROGRESS || error == EINTR)) {
        int ready = wait_ready(fd, POLLOUT, deadline);
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : errno;
        } else {
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        }
    }
    if (::fcntl(fd, F_SETFL, flags) < 0 && error == 0) error = errno;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int send_within(int fd, const void *data, size_t size, const Deadline &deadline) {
    const char *next = static_cast<const char *>(data);
    while (size > 0) {
        int ready = wait_ready(fd, POLLOUT, deadline);
        if (ready <= 0) return -1;
        ssize_t n = ::send(fd, next, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) {
            if (n == 0) errno = EPIPE;
            return -1;
        }
        next += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t recv_within(int fd, void *data, size_t size, const Deadline &deadline) {
    for (;;) {
        int ready = wait_ready(fd, POLLIN, deadline);
        if (ready <= 0) return -1;
        ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return n;
    }
}

} // namespace oru::net
