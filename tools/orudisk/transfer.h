// Moving byte ranges from one open volume to another through the library,
// in pieces of a few MiB, reading and writing at the same time; ranges known
// to read as zeros travel as zeroing requests instead.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "bitmap_file.h"
#include "report.h"
#include "volume_session.h"

namespace orudisk {

inline constexpr uint64_t kLocalPiece = 2ull << 20;
// A remote source splits each read into requests in flight on its one
// connection and waits for all of them before the next read: longer reads
// keep the connection busy for longer between those pauses.
inline constexpr uint64_t kRemotePiece = 8ull << 20;
// A restore writes into a volume with its own transport behind it: long
// writes keep the write path busy between the calls, and the reader, on a
// handle of its own, fills the next piece meanwhile.
inline constexpr uint64_t kRestorePiece = 16ull << 20;

struct TransferPlan {
    std::vector<Extent> extents; // ranges to move; offsets are multiples of 512
    // Ranges of the target to make read as zeros (oruDiskLib_WriteZeroes)
    // instead of moving them: whole sectors inside the target, apart from
    // `extents`. Done first, while the readers fill their first pieces.
    std::vector<Extent> zeroes;
    uint64_t size = 0;           // bytes the source has: nothing at or past it is moved
    // The target already reads as zeros (a new image without backing file):
    // blocks of zeros are left as holes instead of being written.
    bool skip_zero_blocks = false;
    // The target already reads as this volume (a new qcow2 image over it as
    // backing file): blocks equal to it are left unwritten. Wins over
    // skip_zero_blocks.
    VolumeSession *baseline = nullptr;
    // The target reads as something other than the source where the source
    // now reads zeros (a new image over an earlier backup, copying only what
    // changed since): blocks of zeros become zeroing requests, which hide
    // the old data without writing buffers of zeros. Wins over both above.
    bool zero_blocks_by_zeroing = false;
    uint64_t block = 64 * 1024; // unit of both comparisons; the target's cluster size suits
    // Further handles on the source, each read by a thread of its own so that
    // reads overlap (a local disk serves several at once). Unused with a
    // baseline.
    std::vector<VolumeSession *> more_sources;
    // Bytes read and written at a time, a multiple of 4096 up to the
    // library's limit. Far below it suits a local disk: a buffer that stays
    // in the CPU caches between the read and the write halves the memory
    // traffic of the kernel's copies, which is most of the work there.
    uint64_t piece = kLocalPiece;
    // Called by the writing thread after each piece is written, with its
    // offset and length in the volume.
    std::function<void(uint64_t, uint64_t)> after_write;
};

struct TransferStats {
    uint64_t bytes_read = 0;
    uint64_t bytes_written = 0;
    uint64_t bytes_zeroed = 0;
    uint64_t extents = 0;
    double seconds = 0;
};

// The whole of a volume of `size` bytes as one range (none when empty).
std::vector<Extent> whole_volume(uint64_t size);

uint64_t total_bytes(const std::vector<Extent> &extents);

// Zeroes the plan's zero ranges and copies every range of the plan. `from`, the further sources and the
// baseline are read on threads of their own while the calling thread writes
// `to` in volume order (and drives the progress meter), so all must be
// distinct handles. Throws the first
// failure of either side, as CliError, once both have stopped.
TransferStats transfer(VolumeSession &from, VolumeSession &to, const TransferPlan &plan,
                       Progress &progress);

} // namespace orudisk
