#include "qemu_nbd_export.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "support/test_support.h"

namespace oru::test {

namespace {

// Gone, or a zombie that nobody has reaped yet: either way the image is shut.
bool process_gone(int pid) {
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, comm, state;
    stat >> pid_field >> comm >> state;
    return state == "Z" || state == "X";
}

} // namespace

QemuNbdExport::QemuNbdExport(const NbdExportOptions &o) : port_(o.port) {
    std::string pid_file = o.image + ".nbd-" + std::to_string(o.port) + ".pid";
    std::string cmd = "qemu-nbd --fork --persistent --shared=8 --cache=writeback -b " +
                      quote(o.address) + " -p " + std::to_string(o.port) + " -x " +
                      quote(o.name) + " -f " + quote(o.format) +
                      " --pid-file=" + quote(pid_file) + (o.read_only ? " -r " : " ") +
                      quote(o.image);
    CommandResult r = run(cmd, true);
    if (r.status != 0) {
        error_ = r.out;
        return;
    }
    std::ifstream in(pid_file);
    in >> pid_;
    unlink(pid_file.c_str());
    if (pid_ <= 0) error_ = "qemu-nbd left no pid";
}

QemuNbdExport::~QemuNbdExport() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    // Not our child (it forked away): poll until the pid is gone, so the image
    // is closed and flushed before the test compares it.
    for (int i = 0; i < 500 && !process_gone(pid_); ++i) usleep(10000);
}

} // namespace oru::test
