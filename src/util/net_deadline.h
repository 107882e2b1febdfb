// Deadlines for blocking network steps. Every connect, handshake, send and
// receive the library makes waits at most ORU_NET_TIMEOUT seconds (read when
// the step starts), so that a silent server, agent, export or target fails
// the call instead of holding it, and the caller can go on.
#pragma once

#include <sys/socket.h>

#include <chrono>

namespace oru::net {

// Seconds a blocking network step may take: ORU_NET_TIMEOUT when it holds a
// whole number from 1 to 3600, else 60.
int timeout_seconds();

// Seconds a platform task may be polled before the call gives up:
// ORU_TASK_TIMEOUT when it holds a whole number from 1 to 86400, else 600.
int task_timeout_seconds();

// A point in time after which a step has failed. Monotonic, so that a clock
// change cannot stretch or cut a wait.
class Deadline {
public:
    // Expires timeout_seconds() from now.
    Deadline();
    explicit Deadline(std::chrono::milliseconds limit);

    bool expired() const;
    // Milliseconds left, 0 once expired; capped at INT_MAX for poll().
    int remaining_ms() const;

private:
    std::chrono::steady_clock::time_point end_;
};

// Waits until fd reports one of events (POLLIN, POLLOUT) or the deadline
// passes. Returns 1 when ready (or when the peer hung up or failed, so
// that the following call reports it), 0 on expiry (errno ETIMEDOUT), -1 on
// a poll failure. Interrupted waits resume.
int wait_ready(int fd, short events, const Deadline &deadline);

// Connects a blocking TCP socket within the deadline; the socket is blocking
// again on return. Returns 0, or -1 with errno set (ETIMEDOUT on expiry).
int connect_within(int fd, const struct sockaddr *address, socklen_t length,
                   const Deadline &deadline);

// Sends all of data within the deadline (MSG_NOSIGNAL). Returns 0, or -1
// with errno set (ETIMEDOUT on expiry).
int send_within(int fd, const void *data, size_t size, const Deadline &deadline);

// One recv() of at most size bytes once data is ready, within the deadline.
// Returns what recv() returns; -1 with errno ETIMEDOUT on expiry.
ssize_t recv_within(int fd, void *data, size_t size, const Deadline &deadline);

} // namespace oru::net
