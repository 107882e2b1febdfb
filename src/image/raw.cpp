// Raw images: the file's bytes are the volume's bytes. Reads and writes are
// clamped to the size measured at open, so a raw volume never grows.
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "core/export.h"
#include "rwimage1.h"
#include "util/unique_fd.h"

namespace {

const char kOpenFailed[] = "open file failed";
const char kLockFailed[] = "file locked failed";
const char kPositionFailed[] = "locate file position failed";
const char kSizeFailed[] = "get file virtual size failed";
const char kBadFd[] = "handle's fd is not right";
const char kReadFailed[] = "read file failed";
const char kNoSpace[] = "the disk has no enough space";
const char kFreeSpaceUnknown[] = "get disk free space failed";
const char kWriteFailed[] = "write file failed";

int fail(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
    return -1;
}

int access_mode(int flag) {
    if (flag == ORU_RO) return O_RDONLY;
    if (flag == ORU_WO) return O_WRONLY;
    return O_RDWR;
}

int recorded_mode(int flag) { return flag == ORU_RO || flag == ORU_WO ? flag : ORU_RW; }

// Bytes of [offset, offset + length) that lie inside the size at open.
size_t clamp_length(const oru_file_handle *handle, uint64_t offset, size_t length) {
    if (offset >= handle->size) return 0;
    uint64_t room = handle->size - offset;
    return length > room ? static_cast<size_t>(room) : length;
}

// Free space for unprivileged users of the file system holding fd.
bool free_space(int fd, uint64_t *bytes) {
    struct statfs fs;
    int rc;
    do rc = fstatfs(fd, &fs);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;
    uint64_t product;
    if (__builtin_mul_overflow(static_cast<uint64_t>(fs.f_bavail), static_cast<uint64_t>(fs.f_bsize),
                               &product))
        product = UINT64_MAX;
    *bytes = product;
    return true;
}

} // namespace

ORU_EXPORT int raw_open(const char *path, int flag, oru_file_handle *handle, char **error) {
    if (!path || !handle) return fail(error, kOpenFailed);
    handle->fd = -1;
    handle->flag = recorded_mode(flag);
    // Every failure below closes the descriptor, which also drops its lock
    // (and forgets it in this process's table of locks).
    oru::UniqueFd fd(open(path, access_mode(flag) | O_CLOEXEC));
    if (fd.get() < 0) return fail(error, kOpenFailed);
    // Descriptor 0 means "no descriptor" to every later call: move the file
    // off it while the process has no standard input.
    if (fd.get() == 0) {
        int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, 1);
        if (moved < 0) return fail(error, kOpenFailed);
        fd.reset(moved);
    }
    // Without the lock another process could write the image under us.
    if (lock_set(fd.get(), flag == ORU_RO ? F_RDLCK : F_WRLCK) != 0) return fail(error, kLockFailed);
    auto unlock_and_fail = [&](const char *text) {
        lock_set(fd.get(), F_UNLCK);
        return fail(error, text);
    };
    off_t position = lseek(fd.get(), 0, SEEK_CUR);
    if (position < 0) return unlock_and_fail(kPositionFailed);
    off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end < 0) return unlock_and_fail(kSizeFailed);
    if (lseek(fd.get(), position, SEEK_SET) < 0) return unlock_and_fail(kPositionFailed);
    handle->size = static_cast<uint64_t>(end);
    handle->fd = fd.release();
    return 0;
}

ORU_EXPORT int raw_read(oru_file_handle *handle, uint64_t offset, size_t length, void *buffer,
                        char **error) {
    if (!handle || handle->fd <= 0) return fail(error, kBadFd);
    size_t want = clamp_length(handle, offset, length);
    auto *dest = static_cast<char *>(buffer);
    size_t done = 0;
    // Positioned reads leave the descriptor's file position alone; a short
    // read is continued until the end of the file.
    while (done < want) {
        ssize_t n = pread(handle->fd, dest + done, want - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, kReadFailed);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return 0;
}

ORU_EXPORT int raw_write(oru_file_handle *handle, uint64_t offset, size_t length, void *buffer,
                         char **error) {
    if (!handle || handle->fd <= 0) return fail(error, kBadFd);
    size_t want = clamp_length(handle, offset, length);
    uint64_t available;
    // Without the figure the write could run the file system full halfway.
    if (!free_space(handle->fd, &available)) return fail(error, kFreeSpaceUnknown);
    if (want > available) return fail(error, kNoSpace);
    const auto *src = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < want) {
        ssize_t n = pwrite(handle->fd, src + done, want - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, kWriteFailed);
        }
        // No progress without an error: the data would be lost, not written.
        if (n == 0) return fail(error, kWriteFailed);
        done += static_cast<size_t>(n);
    }
    return 0;
}

ORU_EXPORT int raw_close(oru_file_handle *handle) {
    if (!handle || handle->fd <= 0) return 0;
    lock_set(handle->fd, F_UNLCK);
    close(handle->fd);
    // A second close must not hit a descriptor number reused by someone else.
    handle->fd = -1;
    return 0;
}

ORU_EXPORT int raw_create(char *path, off_t length) {
    if (!path || length < 0) return -1;
    oru::UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return -1;
    // An image of the wrong size must not be reported as created.
    if (ftruncate(fd.get(), length) != 0) return -1;
    return close(fd.release());
}
