// A listening TCP socket served by a thread of its own: each accepted
// connection is handed to the handler on a thread of its own (clients may
// hold one connection open while they make the next), until the stop signal.
#pragma once

#include "util/unique_fd.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace oru::sim {

// A listening IPv4 socket on address:port (port 0: the kernel picks one).
// On failure returns an empty descriptor and says why.
UniqueFd listen_tcp(const std::string &address, int port, std::string &why);

// A socket connected to address:port (dotted IPv4); empty on failure.
UniqueFd connect_tcp(const std::string &address, int port);

// The port a bound socket listens on.
int bound_port(int fd);

// "a.b.c.d:port" of the peer of a connected socket.
std::string peer_name(int fd);

// Wakes blocked waiters once; stays signalled. Several threads may wait on it.
class StopSignal {
  public:
    StopSignal();
    void raise();
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
};

class Listener {
  public:
    using Handler = std::function<void(UniqueFd connection, const std::string &peer)>;

    Listener(UniqueFd socket, Handler handler, const StopSignal &stop);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Waits for the serving thread, which ends once the stop signal is
    // raised and every connection it accepted has been served.
    void join();

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void serve();
    void reap(bool all); // joins finished workers (all: every worker)

    UniqueFd socket_;
    Handler handler_;
    const StopSignal &stop_;
    std::list<Worker> workers_; // touched by the serving thread only
    std::thread thread_;
};

} // namespace oru::sim
