#include "qcow2_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "image/qcow2_internal.h"

namespace oru::test {

std::string sh(const std::string &command) {
    CommandResult r = run(command, true);
    if (r.status != 0) throw std::runtime_error("command failed: " + command + "\n" + r.out);
    return r.out;
}

OpenImage::OpenImage(const std::string &path, int flag) : path_(path) {
    result = qcow2_open(path_.data(), &q, flag, &error);
}

std::vector<uint8_t> qemu_raw(const std::string &image) {
    std::string raw = image + ".oracle.raw";
    sh("qemu-img convert -U -O raw " + quote(image) + " " + quote(raw));
    // Read in one piece: these files are megabytes long.
    std::vector<uint8_t> bytes;
    int fd = ::open(raw.c_str(), O_RDONLY);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        bytes.resize(static_cast<size_t>(st.st_size));
        if (::pread(fd, bytes.data(), bytes.size(), 0) != st.st_size) bytes.clear();
    }
    if (fd >= 0) ::close(fd);
    ::unlink(raw.c_str());
    return bytes;
}

std::vector<uint8_t> engine_raw(qcow2 *q, size_t chunk) {
    std::vector<uint8_t> out(q->size, 0xA5);
    for (uint64_t at = 0; at < q->size; at += chunk) {
        char *error = nullptr;
        size_t want = std::min<uint64_t>(chunk, q->size - at);
        int n = qcow2_read(q, out.data() + at, chunk, at, &error);
        if (n != static_cast<int>(want))
            throw std::runtime_error("qcow2_read at " + std::to_string(at) + " gave " + std::to_string(n) +
                                     ": " + (error ? error : ""));
    }
    return out;
}

int64_t first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    size_t n = std::min(a.size(), b.size());
    if (n && std::memcmp(a.data(), b.data(), n) == 0) return a.size() == b.size() ? -1 : static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<int64_t>(i);
    return a.size() == b.size() ? -1 : static_cast<int64_t>(n);
}

std::vector<uint8_t> text_pattern(size_t length, uint64_t seed) {
    std::vector<uint8_t> v(length);
    char line[32];
    for (size_t i = 0; i < length; i += 16) {
        std::snprintf(line, sizeof line, "%02x:%012llx\n", static_cast<unsigned>(seed & 0xff),
                      static_cast<unsigned long long>(i & 0xFFFFFFFFFFFFULL));
        for (size_t k = 0; k < 16 && i + k < length; ++k) v[i + k] = static_cast<uint8_t>(line[k]);
    }
    return v;
}

void patch_bytes(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes) {
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot patch " + path);
}

void patch_be32(const std::string &path, uint64_t offset, uint32_t value) {
    patch_bytes(path, offset,
                {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
}

void patch_be64(const std::string &path, uint64_t offset, uint64_t value) {
    patch_be32(path, offset, static_cast<uint32_t>(value >> 32));
    patch_be32(path, offset + 4, static_cast<uint32_t>(value));
}

uint64_t raw_l2_entry(qcow2 *q, uint64_t guest_offset) {
    using namespace oru::qcow2_engine;
    uint64_t l2 = l1_entry(q, l1_index(q, guest_offset)) & kOffsetMask;
    if (!l2) return 0;
    const void *table = load_cluster(q, l2, 0);
    if (!table) throw std::runtime_error("L2 table not loadable");
    return be64tohp(static_cast<const uint64_t *>(table) + l2_index(q, guest_offset));
}

int open_descriptors() {
    int count = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') ++count;
    ::closedir(d);
    return count;
}

} // namespace oru::test
