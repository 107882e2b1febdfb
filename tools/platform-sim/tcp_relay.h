// Forwards every connection made to one listening socket to a fixed
// address and port. An export is served by one qemu-nbd bound to the host's
// own address; the relay makes the same export reachable, at the same port,
// on the host's backup-network address.
#pragma once

#include "listener.h"
#include "util/unique_fd.h"

#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace oru::sim {

class TcpRelay {
  public:
    TcpRelay(UniqueFd listening, std::string target_address, int target_port);
    ~TcpRelay(); // ends every forwarded connection
    TcpRelay(const TcpRelay &) = delete;
    TcpRelay &operator=(const TcpRelay &) = delete;

  private:
    struct Link {
        UniqueFd client;
        UniqueFd server;
        std::thread upstream;
        std::thread downstream;
    };
    void accept_loop();

    UniqueFd listening_;
    std::string target_address_;
    int target_port_;
    StopSignal stop_;
    std::mutex mutex_;
    std::list<Link> links_;
    std::thread acceptor_;
};

} // namespace oru::sim
