// Keeps a write to a peer that has gone away from killing the caller's
// process: TLS writes go through write(2), which raises SIGPIPE.
#pragma once

#include <signal.h>

namespace oru::mgmt {

// Blocks SIGPIPE in the calling thread for its lifetime; a SIGPIPE raised
// meanwhile is consumed, unless one was already pending before.
class SigpipeGuard {
  public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

  private:
    sigset_t old_mask_;
    bool was_pending_ = false;
    bool active_ = false;
};

} // namespace oru::mgmt
