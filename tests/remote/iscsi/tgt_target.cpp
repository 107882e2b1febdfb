#include "tgt_target.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

extern char **environ;

namespace oru::test {

namespace {

constexpr int kPortalPort = 3260;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kStartPolls = 200; // 10 seconds
constexpr int kStopPolls = 200;

std::string shell_quote(const std::string &arg) {
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a command line; its exit status, and its output in *out when asked.
int run_command(const std::string &line, std::string *out) {
    FILE *p = popen((line + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int st = pclose(p);
    if (out) *out = text;
    return (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
}

bool exited(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

} // namespace

TgtTarget::TgtTarget(const std::string &portal_ip) : portal_ip_(portal_ip) {
    // Distinct per process: tests of other areas (or a second run) may have
    // their own tgtd on the shared control-socket directory.
    control_port_ = 10000 + static_cast<int>(getpid() % 20000); // tgtd takes at most 32767
    const std::string port = std::to_string(control_port_);
    const std::string portal = "portal=" + portal_ip_ + ":" + std::to_string(kPortalPort);
    const char *argv[] = {"tgtd", "-f", "-C", port.c_str(), "--iscsi", portal.c_str(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc =
        posix_spawnp(&pid, "tgtd", &actions, nullptr, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error_ = "cannot start tgtd";
        return;
    }
    pid_ = pid;
    for (int i = 0; i < kStartPolls; ++i) {
        if (exited(pid_)) {
            pid_ = -1;
            error_ = "tgtd exited at start";
            return;
        }
        if (admin("--mode target --op show")) return;
        std::this_thread::sleep_for(kPollInterval);
    }
    error_ = "tgtd did not answer on its control port";
    stop();
}

TgtTarget::~TgtTarget() {
    stop();
}

bool TgtTarget::admin(const std::string &args, std::string *out) {
    std::string text;
    int rc =
        run_command("tgtadm -C " + std::to_string(control_port_) + " --lld iscsi " + args, &text);
    if (out) *out = text;
    if (rc != 0) error_ = "tgtadm " + args + ": " + text;
    return rc == 0;
}

bool TgtTarget::add_lun(int tid, const std::string &iqn, int lun, const std::string &path,
                        int block_length) {
    const std::string t = " --tid " + std::to_string(tid);
    if (!tids_.count(tid)) {
        if (!admin("--mode target --op new" + t + " --targetname " + shell_quote(iqn)))
            return false;
        tids_.insert(tid);
        if (!admin("--mode target --op bind" + t + " --initiator-address ALL")) return false;
    }
    return admin("--mode logicalunit --op new" + t + " --lun " + std::to_string(lun) +
                 " --backing-store " + shell_quote(path) + " --blocksize " +
                 std::to_string(block_length));
}

bool TgtTarget::set_thin_provisioning(int tid, int lun) {
    return admin("--mode logicalunit --op update --tid " + std::to_string(tid) + " --lun " +
                 std::to_string(lun) + " --params thin_provisioning=1");
}

bool TgtTarget::remove_target(int tid) {
    tids_.erase(tid);
    return admin("--mode target --op delete --force --tid " + std::to_string(tid));
}

int TgtTarget::session_count(int tid) {
    std::string out;
    if (!admin("--mode conn --op show --tid " + std::to_string(tid), &out)) return -1;
    int sessions = 0;
    for (size_t at = out.find("Session:"); at != std::string::npos;
         at = out.find("Session:", at + 1))
        ++sessions;
    return sessions;
}

std::string TgtTarget::url(const std::string &iqn, int lun) const {
    return "iscsi://" + portal_ip_ + ":" + std::to_string(kPortalPort) + "/" + iqn + "/" +
           std::to_string(lun);
}

void TgtTarget::stop() {
    if (pid_ <= 0) return;
    for (int tid : tids_)
        admin("--mode target --op delete --force --tid " + std::to_string(tid));
    tids_.clear();
    run_command("tgtadm -C " + std::to_string(control_port_) + " --op delete --mode system",
                nullptr);
    bool gone = false;
    for (int i = 0; i < kStopPolls && !gone; ++i) {
        gone = exited(pid_);
        if (!gone) std::this_thread::sleep_for(kPollInterval);
    }
    if (!gone) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    const std::string socket = "/var/run/tgtd/socket." + std::to_string(control_port_);
    unlink(socket.c_str());
    unlink((socket + ".lock").c_str());
}

} // namespace oru::test
