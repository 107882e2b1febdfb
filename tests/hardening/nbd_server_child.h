// A qemu-nbd export run as a child of the test (not daemonised), so that a
// test can kill it at the instant it chooses and reap it by its pid. Must
// run inside a private network namespace (it listens on 127.0.0.x).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace oru::test {

class NbdServerChild {
  public:
    NbdServerChild(const std::string &address, int port, const std::string &image,
                   const std::string &format, const std::string &name)
        : address_(address), port_(port) {
        std::vector<std::string> args = {"qemu-nbd", "--persistent", "--shared=16",
                                         "--cache=writeback", "-b", address, "-p",
                                         std::to_string(port), "-x", name, "-f", format, image};
        pid_ = fork();
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            std::vector<char *> argv;
            for (auto &arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execvp("qemu-nbd", argv.data());
            _exit(127);
        }
        // Up once the port accepts a connection (at most 10 s).
        for (int i = 0; i < 1000 && pid_ > 0; ++i) {
            if (accepts()) {
                up_ = true;
                break;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            usleep(10000);
        }
    }
    ~NbdServerChild() { stop(SIGTERM); }
    NbdServerChild(const NbdServerChild &) = delete;
    NbdServerChild &operator=(const NbdServerChild &) = delete;

    bool up() const { return up_; }
    std::string port_text() const { return std::to_string(port_); }

    // Sends sig to the server and reaps it.
    void stop(int sig) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    bool accepts() const {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    std::string address_;
    int port_;
    pid_t pid_ = -1;
    bool up_ = false;
};

} // namespace oru::test
