// The simulator as a child process of a C++ benchmark: started on
// DIR/platform.json (journal in DIR/journal.jsonl) and waited for until it is
// ready. The benchmark's target defines ORU_SIM_PATH.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace oru_bench {

// The simulator's pid once it is ready (the caller ends it), or -1 when it
// did not get ready within 10 s (it is ended here).
inline pid_t run_simulator(const std::string &dir) {
    const std::string config = dir + "/platform.json", log = dir + "/journal.jsonl",
                      ready = dir + "/ready";
    pid_t pid = fork();
    if (pid == 0) {
        execl(ORU_SIM_PATH, ORU_SIM_PATH, "--config", config.c_str(), "--log", log.c_str(),
              "--ready-file", ready.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) return -1;
    for (int i = 0; i < 200; ++i) {
        if (access(ready.c_str(), F_OK) == 0) return pid;
        usleep(50000);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace oru_bench
