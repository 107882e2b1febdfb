// Byte ranges of a LUN's backing file, read and written behind the target's
// back: the oracle for what the library put on the LUN.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace oru::test {

inline std::vector<uint8_t> file_bytes(const std::string &path, uint64_t offset, size_t length) {
    std::vector<uint8_t> bytes(length);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    ssize_t n = pread(fd, bytes.data(), length, static_cast<off_t>(offset));
    close(fd);
    if (n != static_cast<ssize_t>(length)) return {};
    return bytes;
}

inline bool put_file_bytes(const std::string &path, uint64_t offset,
                           const std::vector<uint8_t> &bytes) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

// A sparse backing file of `size` bytes.
inline bool make_sparse_file(const std::string &path, uint64_t size) {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}

} // namespace oru::test
