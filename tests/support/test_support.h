// Fixtures shared by the test programs: scratch directories, running peer
// tools (qemu-img, qemu-nbd, tgtd, ...), file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace oru::test {

// A scratch directory removed (with its contents) when the object dies.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct CommandResult {
    int status = -1; // exit status, or -1 when the command could not run
    std::string out; // standard output (standard error is mixed in when asked)
};

// Runs a shell command line and collects its output.
CommandResult run(const std::string &command, bool with_stderr = false);

// Shell-quotes one argument.
std::string quote(const std::string &arg);

// Runs a shell command line; a non-zero exit fails the calling test (fatally
// for that function: ASSERT) with the command and its output.
void run_ok(const std::string &command);

// qemu-img create of a qcow2 image at path with -o options, over a qcow2
// backing file when one is named; a failure fails the test. Returns path.
std::string create_qcow2(const std::string &path, const std::string &options,
                         const std::string &size, const std::string &backing = "");

// qemu-io on an image, one -c per command, e.g.
// io(img, {"write -P 1 0 64k", "write -z 1M 64k"}); a failure fails the test.
void io(const std::string &format, const std::string &image,
        std::initializer_list<std::string> commands);
inline void io(const std::string &qcow2_image, std::initializer_list<std::string> commands) {
    io("qcow2", qcow2_image, commands);
}

// True when an executable of that name is on PATH.
bool have_program(const std::string &name);

bool is_root();

// Moves the calling process into a private mount namespace (mounts made there
// stay invisible to the rest of the machine) and mounts a tmpfs of the given
// size ("64k", "2m") on dir. false when either step fails (not root, no
// namespaces).
bool mount_private_tmpfs(const std::string &dir, const std::string &size);

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);

// A deterministic byte pattern, different for every seed and offset.
std::vector<uint8_t> pattern(size_t length, uint64_t seed, uint64_t offset = 0);

} // namespace oru::test

// Skip the current test unless the program is installed.
#define ORU_REQUIRE_PROGRAM(name)                                                                  \
    do {                                                                                           \
        if (!oru::test::have_program(name)) GTEST_SKIP() << name << " is not installed";           \
    } while (0)

#define ORU_REQUIRE_ROOT()                                                                         \
    do {                                                                                           \
        if (!oru::test::is_root()) GTEST_SKIP() << "needs root";                                   \
    } while (0)
