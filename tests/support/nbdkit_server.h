// An nbdkit server a test starts for itself on 127.0.0.2 (inside the test's
// private network namespace), stopped by its pid when the object dies.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/test_support.h"

namespace oru::test {

struct NbdkitServer {
    TempDir dir;
    int pid = 0; // > 0 once nbdkit has written its pid file
    NbdkitServer(const std::string &port, const std::string &arguments) {
        const std::string pid_file = dir.file("nbdkit.pid");
        run_ok("nbdkit -P " + quote(pid_file) + " -i 127.0.0.2 -p " + port + " " + arguments);
        for (int i = 0; i < 500 && pid <= 0; ++i) {
            std::ifstream(pid_file) >> pid;
            if (pid <= 0) usleep(10000);
        }
    }
    ~NbdkitServer() {
        if (pid > 0) kill(pid, SIGTERM);
    }
    NbdkitServer(const NbdkitServer &) = delete;
    NbdkitServer &operator=(const NbdkitServer &) = delete;
};

} // namespace oru::test
