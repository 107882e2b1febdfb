// Helpers of the qcow2 write and creation tests: raw header/metadata access
// to image files and qemu-img as the judge of what the engine wrote.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace oru::test {

inline uint64_t be_at(const std::string &path, uint64_t offset, int width) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t b[8] = {};
    if (fd >= 0) {
        if (pread(fd, b, static_cast<size_t>(width), static_cast<off_t>(offset)) < 0) b[0] = 0;
        ::close(fd);
    }
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | b[i];
    return v;
}

// The whole file (quicker than read_file for images of many MiB).
inline std::vector<uint8_t> file_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
    }
    ::close(fd);
    return bytes;
}

inline uint64_t file_length(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// 16-bit refcount of a cluster of an image whose refcount block 0 is at
// cluster 2 (the layout of created images), for clusters it covers.
inline uint64_t refcount16(const std::string &path, uint64_t cluster_size, uint64_t cluster) {
    uint64_t block = be_at(path, cluster_size, 8);
    return be_at(path, block + 2 * cluster, 2);
}

// "" when qemu-img check finds the image clean (no corruption, no leak),
// else its report.
inline std::string qemu_check(const std::string &path) {
    CommandResult r = run("qemu-img check -f qcow2 " + quote(path), true);
    return r.status == 0 ? std::string() : "status " + std::to_string(r.status) + ": " + r.out;
}

// "" when the guest contents of the qcow2 image equal the raw file.
inline std::string qemu_compare(const std::string &image, const std::string &raw) {
    CommandResult r =
        run("qemu-img compare -f qcow2 -F raw " + quote(image) + " " + quote(raw), true);
    return r.status == 0 ? std::string() : "status " + std::to_string(r.status) + ": " + r.out;
}

} // namespace oru::test
