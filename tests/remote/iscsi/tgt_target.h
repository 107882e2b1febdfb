// A real iSCSI target for tests and benchmarks: one tgtd process of our own,
// listening on one loopback portal, with file-backed LUNs. It must run inside
// a private network namespace (port 3260 is fixed). tgtd's control socket is
// a file shared by every namespace, so each instance takes a control port of
// its own. The destructor deletes the targets (tgtd ignores SIGTERM while any
// exist), shuts tgtd down and waits for its pid.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

namespace oru::test {

class TgtTarget {
  public:
    // Starts tgtd on portal_ip:3260; ok() tells whether it came up.
    explicit TgtTarget(const std::string &portal_ip);
    ~TgtTarget();
    TgtTarget(const TgtTarget &) = delete;
    TgtTarget &operator=(const TgtTarget &) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string &error() const { return error_; }

    // Adds LUN `lun` backed by the file at `path` with `block_length`-byte
    // blocks to target `tid` (named `iqn`, created and opened to every
    // initiator on first use). False, with error(), on failure.
    bool add_lun(int tid, const std::string &iqn, int lun, const std::string &path,
                 int block_length);

    // Turns on thin provisioning of LUN `lun` of target `tid` (READ CAPACITY
    // (16) then reports LBPME, and GET LBA STATUS follows the file's holes).
    bool set_thin_provisioning(int tid, int lun);

    // Deletes target `tid`, dropping its sessions.
    bool remove_target(int tid);

    // Number of sessions currently logged in to target `tid`.
    int session_count(int tid);

    // "iscsi://<portal_ip>:3260/<iqn>/<lun>"
    std::string url(const std::string &iqn, int lun) const;

  private:
    bool admin(const std::string &args, std::string *out = nullptr);
    void stop();

    std::string portal_ip_;
    int control_port_ = 0;
    pid_t pid_ = -1;
    std::set<int> tids_;
    std::string error_;
};

} // namespace oru::test
