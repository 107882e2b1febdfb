// Writes a local target's new data to its disk while the copy goes on, the
// way a streaming copier does, instead of leaving it all dirty in the page
// cache: every new page would otherwise have to be found by reclaiming
// others, which on a busy machine makes the writes themselves slow, and
// whoever syncs afterwards pays for the whole volume again. What has
// reached the disk is dropped from the page cache: a backup is not read
// back soon.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace orudisk {

class WriteBehind {
  public:
    // A descriptor of its own on the file; none (and no effect) when the
    // file cannot be opened. Closing it leaves the library's lock alone: the
    // lock belongs to the library's own open of the file.
    // `shift`: where volume byte 0 lies in the file.
    WriteBehind(const std::string &path, uint64_t shift);
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // Volume bytes [offset, offset + length) were written: their writeback
    // starts, and the oldest ranges beyond a window are waited for and
    // dropped.
    void written(uint64_t offset, uint64_t length);
    // A qcow2 file puts data where its tables say: only starts writeback of
    // whatever is dirty.
    void written_somewhere();

  private:
    int fd_ = -1;
    uint64_t shift_ = 0;
    std::deque<std::pair<uint64_t, uint64_t>> pending_; // file offset, length
    uint64_t pending_bytes_ = 0;
};

} // namespace orudisk
