#include "nbd_exports.h"

#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace oru::sim {

std::string option_value(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == ',') escaped += ',';
    }
    return escaped;
}

namespace {

using namespace std::chrono_literals;


// True once the server on address:port has sent the NBD greeting, which
// qemu-nbd does only after it has opened the image.
bool greets(const std::string &address, int port, std::chrono::milliseconds patience) {
    UniqueFd fd = connect_tcp(address, port);
    if (!fd) return false;
    char magic[8];
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (got < sizeof magic) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        ssize_t n = read(fd.get(), magic + got, sizeof magic - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return std::memcmp(magic, "NBDMAGIC", 8) == 0;
}

std::string tail_of(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    while (!all.empty() && (all.back() == '\n' || all.back() == '\r')) all.pop_back();
    return all.size() > 400 ? all.substr(all.size() - 400) : all;
}

// Writes the decimal value into out (async-signal-safe: used between fork and exec).
void put_decimal(char *out, long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0) *out++ = digits[--n];
    *out = '\0';
}

} // namespace

std::string find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

ForkThread::ForkThread() : thread_([this] { loop(); }) {}

ForkThread::~ForkThread() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

pid_t ForkThread::run(const std::function<pid_t()> &job) {
    std::lock_guard turn(callers_);
    std::unique_lock lock(mutex_);
    job_ = &job;
    finished_ = false;
    changed_.notify_all();
    changed_.wait(lock, [this] { return finished_; });
    return result_;
}

void ForkThread::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || job_ != nullptr; });
        if (quit_) return;
        result_ = (*job_)();
        job_ = nullptr;
        finished_ = true;
        changed_.notify_all();
    }
}

NbdExports::NbdExports(RequestLog &log, std::string qemu_nbd, std::string work_dir)
    : log_(log), qemu_nbd_(std::move(qemu_nbd)), work_dir_(std::move(work_dir)) {}

NbdExports::~NbdExports() { stop_all(); }

bool NbdExports::alive(Export &entry) {
    if (entry.pid <= 0) return false;
    int status = 0;
    if (waitpid(entry.pid, &status, WNOHANG) == 0) return true;
    entry.pid = -1; // reaped (or not ours any more)
    return false;
}

void NbdExports::stop(Export &entry, const char *why) {
    if (entry.pid > 0) {
        kill(entry.pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + 3s;
        int status = 0;
        while (waitpid(entry.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(entry.pid, SIGKILL);
                waitpid(entry.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    entry.relay.reset();
    log_.event("export stopped", {{"host", entry.request.host_id},
                                  {"volumeUuid", entry.request.volume_uuid},
                                  {"port", entry.port},
                                  {"pid", entry.pid},
                                  {"reason", why}});
    entry.pid = -1;
}

void NbdExports::stop_all() {
    std::lock_guard lock(mutex_);
    for (auto &[key, entry] : exports_) stop(entry, "simulator stopping");
    exports_.clear();
}

std::optional<int> NbdExports::start(const ExportRequest &request, std::string &why) {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(request.host_id, request.volume_uuid);
    if (auto it = exports_.find(key); it != exports_.end()) {
        Export &old = it->second;
        if (alive(old) && old.request.image == request.image && old.request.format == request.format &&
            old.request.read_only == request.read_only && old.request.bitmaps == request.bitmaps) {
            log_.event("export reused", {{"host", request.host_id},
                                         {"volumeUuid", request.volume_uuid},
                                         {"port", old.port}});
            return old.port;
        }
        stop(old, "replaced by a new export of the volume");
        exports_.erase(it);
    }
    auto made = spawn(request, why);
    if (!made) return std::nullopt;
    int port = made->port;
    exports_.emplace(key, std::move(*made));
    return port;
}

namespace {

// A listening socket on the host's address with a port the kernel picked,
// and, for a host with a backup network, one on that address at the same port.
bool reserve_port(const ExportRequest &request, bool relayed, UniqueFd &primary, UniqueFd &secondary,
                  int &port, std::string &why) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        primary = listen_tcp(request.host_address, 0, why);
        if (!primary) return false;
        port = bound_port(primary.get());
        if (!relayed) return true;
        secondary = listen_tcp(request.backup_address, port, why);
        if (secondary) return true;
    }
    return false;
}

std::vector<std::string> qemu_nbd_arguments(const std::string &program, const ExportRequest &request) {
    // --image-opts names the image file unambiguously: no protocol prefix
    // or "json:" text in a client's path can change what qemu opens.
    std::vector<std::string> args = {
        program, "--image-opts", "--export-name=" + request.volume_uuid, "--persistent", "--shared=16"};
    if (request.read_only) args.push_back("--read-only");
    for (const auto &bitmap : request.bitmaps) args.push_back("--bitmap=" + bitmap);
    struct stat info {};
    const char *protocol = stat(request.image.c_str(), &info) == 0 && S_ISBLK(info.st_mode) ? "host_device" : "file";
    args.push_back("driver=" + request.format + ",file.driver=" + protocol +
                   ",file.filename=" + option_value(request.image));
    return args;
}

// Starts the program with the listening socket as its descriptor 3 and
// LISTEN_FDS/LISTEN_PID set (systemd socket activation, which qemu-nbd
// understands), its output going to messages. Returns the child's pid or -1.
pid_t launch(std::vector<std::string> args, int listening, int messages, int devnull) {
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "LISTEN_", 7) != 0) env.emplace_back(*e);
    env.emplace_back("LISTEN_FDS=1");
    char listen_pid[40] = "LISTEN_PID=";
    std::vector<char *> envp;
    for (auto &var : env) envp.push_back(var.data());
    envp.push_back(listen_pid);
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls from here to exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM); // no orphaned exports if the simulator is killed
    dup2(devnull, 0);
    dup2(messages, 1);
    dup2(messages, 2);
    if (listening == 3)
        fcntl(3, F_SETFD, 0);
    else
        dup2(listening, 3);
    put_decimal(listen_pid + std::strlen("LISTEN_PID="), getpid());
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

} // namespace

std::optional<NbdExports::Export> NbdExports::spawn(const ExportRequest &request, std::string &why) {
    if (qemu_nbd_.empty()) {
        why = "qemu-nbd is not installed";
        return std::nullopt;
    }
    bool relayed = !request.backup_address.empty() && request.backup_address != request.host_address;
    UniqueFd primary, secondary;
    Export entry;
    entry.request = request;
    if (!reserve_port(request, relayed, primary, secondary, entry.port, why)) return std::nullopt;
    entry.messages = work_dir_ + "/qemu-nbd-" + std::to_string(++serial_) + ".log";
    UniqueFd messages(open(entry.messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    UniqueFd devnull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!messages || !devnull) {
        why = "cannot open " + entry.messages + ": " + strerror(errno);
        return std::nullopt;
    }
    auto args = qemu_nbd_arguments(qemu_nbd_, request);
    entry.pid = forker_.run([&] { return launch(args, primary.get(), messages.get(), devnull.get()); });
    if (entry.pid < 0) {
        why = std::string("fork: ") + strerror(errno);
        return std::nullopt;
    }
    primary.reset(); // the child owns the listening socket now
    if (!greets(request.host_address, entry.port, 10s)) {
        stop(entry, "did not start");
        why = "qemu-nbd did not serve the image: " + tail_of(entry.messages);
        return std::nullopt;
    }
    if (relayed) entry.relay = std::make_unique<TcpRelay>(std::move(secondary), request.host_address, entry.port);
    log_.event("export started", {{"host", request.host_id},
                                  {"volumeUuid", request.volume_uuid},
                                  {"image", request.image},
                                  {"format", request.format},
                                  {"readOnly", request.read_only},
                                  {"address", request.host_address},
                                  {"backupAddress", relayed ? request.backup_address : ""},
                                  {"port", entry.port},
                                  {"pid", entry.pid}});
    return entry;
}

} // namespace oru::sim
