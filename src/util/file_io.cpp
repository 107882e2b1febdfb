#include "util/file_io.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <initializer_list>

namespace oru {

ssize_t pread_full(int fd, void *buf, size_t len, uint64_t offset) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool pwrite_all(int fd, const void *data, size_t len, uint64_t offset) {
    const auto *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t len) {
    const auto *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool punch_zeroes(int fd, uint64_t offset, uint64_t len) {
    if (offset > static_cast<uint64_t>(LLONG_MAX) || len > static_cast<uint64_t>(LLONG_MAX) - offset) {
        errno = EINVAL;
        return false;
    }
    for (int mode : {FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE}) {
        int rc;
        do
            rc = ::fallocate(fd, mode, static_cast<off_t>(offset), static_cast<off_t>(len));
        while (rc != 0 && errno == EINTR);
        if (rc == 0) return true;
        if (!punch_unsupported(errno)) return false;
    }
    return false;
}

bool punch_unsupported(int error) {
    return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

} // namespace oru
