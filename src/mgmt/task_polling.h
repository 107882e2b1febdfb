// The pace of following a platform task: a short first pause, since most
// tasks end within a fraction of a second, then longer ones, so that a slow
// task costs the server few requests; and an end, so that a task that never
// finishes cannot hold the caller (ORU_TASK_TIMEOUT, default 600 s).
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "util/net_deadline.h"

namespace oru::mgmt {

class TaskPolling {
  public:
    TaskPolling() : deadline_(std::chrono::seconds(oru::net::task_timeout_seconds())) {}

    // Waits before the next poll: 100 ms, doubling up to 1 s. False when the
    // task's time is up: poll no more.
    bool pause() {
        if (deadline_.expired()) return false;
        std::this_thread::sleep_for(
            std::min(pause_, std::chrono::milliseconds(deadline_.remaining_ms())));
        pause_ = std::min(pause_ * 2, kLongest);
        return !deadline_.expired();
    }

  private:
    static constexpr std::chrono::milliseconds kLongest{1000};
    oru::net::Deadline deadline_;
    std::chrono::milliseconds pause_{100};
};

} // namespace oru::mgmt
