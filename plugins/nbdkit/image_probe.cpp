#include "image_probe.h"

#include <oruDiskLib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oru_nbdkit {

namespace {

constexpr unsigned char kQcow2Magic[4] = {'Q', 'F', 'I', 0xfb};
constexpr size_t kSizeFieldOffset = 24; // qcow2 header: virtual size, big-endian
constexpr size_t kHeaderPrefix = 32;

uint64_t big_endian64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

// Descriptor closed on every path. The library's whole-file locks belong to
// the process and any close of the file drops them, so this runs only
// before the library has opened the image.
struct ScopedFd {
    int fd;
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

bool probe_image(const std::string &path, ImageFacts *facts, std::string *error) {
    ScopedFd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        *error = "cannot stat " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        *error = path + " is neither an image file nor a block device";
        return false;
    }
    // A block device's size shows only at its end.
    off_t end = ::lseek(file.fd, 0, SEEK_END);
    if (end < 0) {
        *error = "cannot find the size of " + path + ": " + std::strerror(errno);
        return false;
    }
    facts->file_size = static_cast<uint64_t>(end);
    unsigned char header[kHeaderPrefix] = {};
    ssize_t got;
    do
        got = ::pread(file.fd, header, sizeof header, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (got == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header, kQcow2Magic, sizeof kQcow2Magic) == 0) {
        facts->format = ORU_QCOW;
        facts->qcow2_size = big_endian64(header + kSizeFieldOffset);
    } else {
        facts->format = ORU_RAW;
    }
    return true;
}

uint64_t addressable_size(const ImageFacts &facts, int format) {
    if (format == ORU_QCOW) return facts.qcow2_size;
    if (format == ORU_LUKS)
        return facts.file_size > kLuksHeaderBytes ? facts.file_size - kLuksHeaderBytes : 0;
    return facts.file_size;
}

} // namespace oru_nbdkit
