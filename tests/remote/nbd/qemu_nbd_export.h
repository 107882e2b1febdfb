// A real qemu-nbd export for the NBD tests: started daemonised on a loopback
// address of the test's private network namespace, stopped by its pid.
#pragma once

#include <string>

namespace oru::test {

struct NbdExportOptions {
    std::string address = "127.0.0.2";
    int port = 10809;
    std::string image;               // file to export
    std::string format = "raw";      // qemu image format of that file
    std::string name;                // export name
    bool read_only = false;
};

class QemuNbdExport {
  public:
    explicit QemuNbdExport(const NbdExportOptions &options);
    ~QemuNbdExport(); // stops the server and waits until it is gone
    QemuNbdExport(const QemuNbdExport &) = delete;
    QemuNbdExport &operator=(const QemuNbdExport &) = delete;

    bool running() const { return pid_ > 0; }
    const std::string &error() const { return error_; } // qemu-nbd's output on failure
    std::string port_text() const { return std::to_string(port_); }

  private:
    int pid_ = -1;
    int port_ = 0;
    std::string error_;
};

} // namespace oru::test
