// Raw image extents: the file's holes read as zeros, everything else is
// data. Asked of the file system with SEEK_DATA / SEEK_HOLE, which every
// Linux file system answers (one without hole tracking reports all data).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "rwimage1.h"

namespace {

constexpr char kBadFd[] = "handle's fd is not right";
constexpr char kSizeFailed[] = "get file virtual size failed";

// Next data offset at or after pos, `limit` when only a hole remains, or
// -1 when the file system cannot tell.
int64_t next_data(int fd, uint64_t pos, uint64_t limit) {
    off_t at = lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
    if (at >= 0) return std::min<int64_t>(at, static_cast<int64_t>(limit));
    return errno == ENXIO ? static_cast<int64_t>(limit) : -1;
}

// End of the data run that starts at pos (the file's end counts as a hole).
uint64_t data_end(int fd, uint64_t pos, uint64_t limit) {
    off_t at = lseek(fd, static_cast<off_t>(pos), SEEK_HOLE);
    if (at < 0) return limit; // unknown: data up to the limit
    return std::min<uint64_t>(static_cast<uint64_t>(at), limit);
}

} // namespace

int raw_extents(oru_file_handle *handle, uint64_t offset, uint64_t length, oru_extent_fn fn,
                void *opaque, char **error) {
    if (!handle || handle->fd <= 0 || !fn) {
        if (error) *error = const_cast<char *>(kBadFd);
        return -1;
    }
    if (offset >= handle->size) return 0;
    const uint64_t end = offset + std::min(length, handle->size - offset);
    // Reads stop at the file's current end and leave the rest of the
    // caller's buffer as it was: bytes past it, should the file have shrunk
    // since the open, are data, not zeros.
    struct stat st;
    if (fstat(handle->fd, &st) != 0) {
        if (error) *error = const_cast<char *>(kSizeFailed);
        return -1;
    }
    const uint64_t limit = std::min(end, static_cast<uint64_t>(std::max<off_t>(st.st_size, 0)));
    uint64_t pos = offset;
    while (pos < limit) {
        int64_t data = next_data(handle->fd, pos, limit);
        if (data < 0) break;
        const uint64_t data_at = static_cast<uint64_t>(data);
        if (data_at > pos && fn(opaque, pos, data_at - pos, 1) != 0) return 0;
        if (data_at >= limit) {
            pos = limit;
            break;
        }
        const uint64_t run_end = std::max(data_end(handle->fd, data_at, limit), data_at + 1);
        if (fn(opaque, data_at, run_end - data_at, 0) != 0) return 0;
        pos = run_end;
    }
    if (pos < end) fn(opaque, pos, end - pos, 0);
    return 0;
}
