#include "format_sniff.h"

#include <oruDiskLib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oru_nbdkit {

namespace {

constexpr unsigned char kQcow2Magic[] = {'Q', 'F', 'I', 0xfb};
constexpr unsigned char kLuksMagic[] = {'L', 'U', 'K', 'S', 0xba, 0xbe};

// Descriptor closed on every path. The library's whole-file locks belong to
// the process and any close of the file may drop them, so this runs only
// before the library has opened the image.
struct ScopedFd {
    int fd;
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

template <size_t N>
bool starts_with(const unsigned char *head, ssize_t got, const unsigned char (&magic)[N]) {
    return got >= static_cast<ssize_t>(N) && std::memcmp(head, magic, N) == 0;
}

} // namespace

bool sniff_format(const std::string &path, int *format, std::string *error) {
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
    unsigned char head[sizeof kLuksMagic] = {};
    ssize_t got;
    do
        got = ::pread(file.fd, head, sizeof head, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    *format = starts_with(head, got, kQcow2Magic)  ? ORU_QCOW
              : starts_with(head, got, kLuksMagic) ? ORU_LUKS
                                                   : ORU_RAW;
    return true;
}

} // namespace oru_nbdkit
