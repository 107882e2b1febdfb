#include "support/test_support.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace oru::test {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/oru-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CommandResult run(const std::string &command, bool with_stderr) {
    CommandResult r;
    std::string line = with_stderr ? "(" + command + ") 2>&1" : command;
    FILE *p = popen(line.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return r;
}

void run_ok(const std::string &command) {
    CommandResult r = run(command, true);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out;
}

std::string create_qcow2(const std::string &path, const std::string &options,
                         const std::string &size, const std::string &backing) {
    std::string line = "qemu-img create -q -f qcow2 -o " + options;
    if (!backing.empty()) line += " -b " + quote(backing) + " -F qcow2";
    run_ok(line + " " + quote(path) + " " + size);
    return path;
}

void io(const std::string &format, const std::string &image,
        std::initializer_list<std::string> commands) {
    std::string line = "qemu-io -f " + format;
    for (const std::string &c : commands)
        line += " -c " + quote(c);
    run_ok(line + " " + quote(image));
}

std::string quote(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

bool have_program(const std::string &name) {
    return run("command -v " + quote(name) + " >/dev/null 2>&1").status == 0;
}

bool is_root() {
    return geteuid() == 0;
}

bool mount_private_tmpfs(const std::string &dir, const std::string &size) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern(size_t length, uint64_t seed, uint64_t offset) {
    std::vector<uint8_t> v(length);
    for (size_t i = 0; i < length; ++i) {
        uint64_t x = (offset + i) / 8 * 0x9E3779B97F4A7C15ULL ^ (seed * 0xC2B2AE3D27D4EB4FULL);
        x ^= x >> 29;
        v[i] = static_cast<uint8_t>(x >> (8 * ((offset + i) % 8)));
    }
    return v;
}

} // namespace oru::test
