#include "write_behind.h"

#include <fcntl.h>
#include <unistd.h>

namespace orudisk {

namespace {

// Enough writeback in flight to keep a disk busy, little enough that the
// page cache holds next to nothing of the copy.
constexpr uint64_t kWindow = 16ull << 20;

} // namespace

WriteBehind::WriteBehind(const std::string &path, uint64_t shift)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), shift_(shift) {}

WriteBehind::~WriteBehind() {
    if (fd_ >= 0) ::close(fd_);
}

// Failures here only lose the head start: the library's close still flushes
// and reports what did not reach the disk.
void WriteBehind::written(uint64_t offset, uint64_t length) {
    if (fd_ < 0 || length == 0) return;
    auto at = static_cast<off64_t>(offset + shift_), bytes = static_cast<off64_t>(length);
    ::sync_file_range(fd_, at, bytes, SYNC_FILE_RANGE_WRITE);
    pending_.emplace_back(offset + shift_, length);
    pending_bytes_ += length;
    while (pending_bytes_ - pending_.front().second >= kWindow) {
        auto [old_at, old_bytes] = pending_.front();
        pending_.pop_front();
        pending_bytes_ -= old_bytes;
        ::sync_file_range(fd_, static_cast<off64_t>(old_at), static_cast<off64_t>(old_bytes),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(fd_, static_cast<off_t>(old_at), static_cast<off_t>(old_bytes),
                        POSIX_FADV_DONTNEED);
    }
}

void WriteBehind::written_somewhere() {
    if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

} // namespace orudisk
