// Whole transfers on descriptors: the system calls may move fewer bytes than
// asked or be interrupted by a signal; these loop until the job is done.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace oru {

// Reads up to len bytes at offset; stops early only at the end of the file.
// The number of bytes read, or -1 on a read error (errno set).
ssize_t pread_full(int fd, void *buf, size_t len, uint64_t offset);

// Writes all len bytes at offset. false on an error (errno set; EIO when the
// file system accepts no more bytes without saying why).
bool pwrite_all(int fd, const void *data, size_t len, uint64_t offset);

// Writes all len bytes at the descriptor's position; false on an error.
bool write_all(int fd, const void *data, size_t len);

} // namespace oru
