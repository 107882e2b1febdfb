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

// Makes [offset, offset + len) of a file read as zeros without writing
// them: a hole punched (the blocks are freed; partial blocks at the edges are
// zeroed), else the range zeroed by the file system; the file keeps its size
// either way. false with errno set; EOPNOTSUPP (or ENOSYS, EINVAL from a
// device that wants aligned ranges) when the file system can do neither, and
// the caller then writes zeros.
bool punch_zeroes(int fd, uint64_t offset, uint64_t len);

// True when punch_zeroes failed only because the file system cannot do it.
bool punch_unsupported(int error);

} // namespace oru
