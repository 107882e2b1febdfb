// The NBD exports the host agents have made: one qemu-nbd child per export,
// handed a listening socket on the host's address (socket activation, so
// the port is ours and free before the child starts), plus a relay on the
// host's backup-network address. Exports live until stop_all().
#pragma once

#include "request_log.h"
#include "tcp_relay.h"

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

namespace oru::sim {

struct ExportRequest {
    std::string host_id;
    std::string host_address;
    std::string backup_address; // empty: no relay
    std::string volume_uuid;    // the export name
    std::string image;
    std::string format; // "qcow2" or "raw"
    bool read_only = true;
    std::vector<std::string> bitmaps; // persistent dirty bitmaps exported as meta contexts
};

// qemu option syntax: a comma inside a value is doubled.
std::string option_value(const std::string &text);

// Runs fork jobs on one thread that lives as long as the simulator: a
// child's parent-death signal follows the thread that forked it, and
// connection threads end after each reply.
class ForkThread {
  public:
    ForkThread();
    ~ForkThread();
    ForkThread(const ForkThread &) = delete;
    ForkThread &operator=(const ForkThread &) = delete;
    pid_t run(const std::function<pid_t()> &job);

  private:
    void loop();
    std::mutex callers_; // one job at a time
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<pid_t()> *job_ = nullptr;
    pid_t result_ = -1;
    bool finished_ = false;
    bool quit_ = false;
    std::thread thread_;
};

class NbdExports {
  public:
    // qemu_nbd: the program to run; work_dir: where each child's messages go.
    NbdExports(RequestLog &log, std::string qemu_nbd, std::string work_dir);
    ~NbdExports();
    NbdExports(const NbdExports &) = delete;
    NbdExports &operator=(const NbdExports &) = delete;

    // The port of a ready export of the volume on that host: an existing one
    // with the same image, format and access, or a new one. nullopt (with
    // the reason) when qemu-nbd could not serve it.
    std::optional<int> start(const ExportRequest &request, std::string &why);

    // Stops every child (SIGTERM, then SIGKILL after a grace period) and relay.
    void stop_all();

  private:
    struct Export {
        ExportRequest request;
        pid_t pid = -1;
        int port = 0;
        std::string messages; // the child's standard error file
        std::unique_ptr<TcpRelay> relay;
    };
    bool alive(Export &entry);
    void stop(Export &entry, const char *why);
    std::optional<Export> spawn(const ExportRequest &request, std::string &why);

    RequestLog &log_;
    std::string qemu_nbd_;
    std::string work_dir_;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Export> exports_; // (host, volume)
    unsigned serial_ = 0;
    ForkThread forker_;
};

// The full path of a program found on PATH (or the text itself when it
// names a path); empty when not found.
std::string find_program(const std::string &name);

} // namespace oru::sim
