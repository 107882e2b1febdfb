// The NBD adapter's transfers, for the volume layer: the same engine as
// sdk_img_read / sdk_img_write (commands pipelined on the one connection,
// the export's block sizes honoured, every wait bounded by ORU_NET_TIMEOUT)
// with the durability chosen by the caller, plus zeroing and flushing.
//
// Every call returns 0, or -1 with libnbd's text (or ours) in error, a
// 100-byte buffer. A failed call may have changed part of the range: it is
// never reported as done.
#pragma once

#include <cstddef>
#include <cstdint>

struct nbd_handle;

namespace oru::nbd {

// When the data of a write or zeroing is on stable storage.
enum class Durability {
    // Before the call returns: one NBD_CMD_FLUSH after the last command, or
    // forced unit access on every command where the export offers no flush.
    each_call,
    // Whenever the server commits it; a later flush() makes it durable.
    writeback,
};

// The export's block sizes as the handshake gave them, with the protocol's
// defaults where the server said nothing: no alignment, 32 MiB at most.
struct BlockSizes {
    uint64_t minimum = 1;
    uint64_t preferred = 4096;
    uint64_t maximum = 32u << 20;
};
BlockSizes block_sizes(struct nbd_handle *nbd);

int read(struct nbd_handle *nbd, void *buf, uint64_t count, uint64_t offset, char *error);
int write(struct nbd_handle *nbd, const void *buf, uint64_t count, uint64_t offset,
          Durability durability, char *error);
// Makes [offset, offset + count) read as zeros: NBD_CMD_WRITE_ZEROES where
// the export offers it (holes allowed), else zeros written as data.
int zero(struct nbd_handle *nbd, uint64_t count, uint64_t offset, Durability durability,
         char *error);
// NBD_CMD_FLUSH where the export offers it; 0 at once where it does not.
int flush(struct nbd_handle *nbd, char *error);

} // namespace oru::nbd
