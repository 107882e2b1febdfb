// Keeping qemu's persistent dirty bitmaps true while the library changes an
// image: every change of guest data first goes through qcow2_prepare_change.
//
// As qemu does while it has an image open for writing, the first change sets
// the in_use flag of every enabled bitmap and syncs before any guest byte
// moves; each change then sets its bits in those bitmaps (allocating a data
// cluster for a table entry that said "all zeros", counted and filled before
// the table points at it, as the write path allocates; an entry whose bits
// all become set says so instead); a clean close clears
// the flags after the data and the bits are on stable storage. A process that
// dies in between leaves the flags set, and qemu and this library then treat
// the bitmaps as inconsistent: never as a record that missed a write.
//
// When a bitmap cannot be kept (the directory cannot be read, an enabled
// bitmap has flags, a type or a table this library does not know, an update
// fails), the step falls back to clearing the header's autoclear bits and
// syncing: qemu then drops every bitmap of the image. If even that fails the
// change is refused.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/qcow2_allocation.h"
#include "image/qcow2_dirty_bitmap.h"
#include "image/qcow2_internal.h"
#include "util/bounded_copy.h"
#include "util/file_io.h"

using namespace oru::qcow2_engine;

namespace {

constexpr size_t kFlagsInEntry = 12;

constexpr char kTableReadFailed[] = "read qcow bitmap table failed";
constexpr char kUpdateFailed[] = "update qcow bitmap failed";

// An enabled bitmap this record keeps up to date.
struct TrackedBitmap {
    uint64_t flags_at; // file offset of the directory entry's flags
    uint32_t flags;    // as found, without in_use
    uint64_t table_offset;
    uint32_t table_size;
    uint32_t granularity_bits;
};

} // namespace

struct qcow2_dirty_state {
    bool prepared = false; // the first change was handled
    bool marking = false;  // tracked bitmaps are marked in use and kept
    std::vector<TrackedBitmap> tracked;
};

namespace {

bool sync(qcow2 *q) {
    int rc;
    do
        rc = ::fdatasync(q->fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool write_flags(qcow2 *q, const TrackedBitmap &b, uint32_t flags) {
    unsigned char bytes[4] = {
        static_cast<unsigned char>(flags >> 24), static_cast<unsigned char>(flags >> 16),
        static_cast<unsigned char>(flags >> 8), static_cast<unsigned char>(flags)};
    return oru::pwrite_all(q->fd, bytes, sizeof bytes, b.flags_at);
}

bool write_autoclear(qcow2 *q, uint64_t autoclear) {
    unsigned char bytes[8];
    htobe64p(autoclear, bytes);
    return oru::pwrite_all(q->fd, bytes, sizeof bytes, kAutoclearAt);
}

// Sets bits [lo, hi) of a bitmap cluster held in `bytes`, whose first byte
// is byte `first_byte` of the cluster.
void set_bits(unsigned char *bytes, uint64_t first_byte, uint64_t lo, uint64_t hi) {
    while (lo < hi && lo % 8 != 0) {
        bytes[lo / 8 - first_byte] |= static_cast<unsigned char>(1u << (lo % 8));
        ++lo;
    }
    if (hi - lo >= 8) {
        std::memset(bytes + lo / 8 - first_byte, 0xFF, (hi - lo) / 8);
        lo += (hi - lo) / 8 * 8;
    }
    for (; lo < hi; ++lo)
        bytes[lo / 8 - first_byte] |= static_cast<unsigned char>(1u << (lo % 8));
}

// Bits [lo, hi) of table entry `index` of b set. nullptr, or the failure.
const char *mark_cluster(qcow2 *q, const TrackedBitmap &b, uint64_t index, uint64_t lo,
                         uint64_t hi) {
    if (index >= b.table_size) return kTableCorrupt;
    const uint64_t entry_at = b.table_offset + index * 8;
    unsigned char raw[8];
    if (oru::pread_full(q->fd, raw, sizeof raw, entry_at) != static_cast<ssize_t>(sizeof raw))
        return kTableReadFailed;
    const uint64_t entry = be64tohp(raw);
    if (entry & kTableReserved) return kTableCorrupt;
    const uint64_t data = entry & kTableOffsetMask;
    if (data == 0 && (entry & kTableAllOnes)) return nullptr; // every bit already set
    unsigned char pointer[8];
    if (data == 0 && lo == 0 && hi == uint64_t{q->cluster_size} * 8) {
        // Every bit of the entry: no cluster needed to say so.
        htobe64p(kTableAllOnes, pointer);
        return oru::pwrite_all(q->fd, pointer, sizeof pointer, entry_at) ? nullptr : kUpdateFailed;
    }
    if (data == 0) {
        // All zeros so far: a cluster of its own, counted and filled before
        // the table points at it.
        std::vector<unsigned char> cluster(q->cluster_size, 0);
        set_bits(cluster.data(), 0, lo, hi);
        Allocation allocation(q);
        uint64_t host = 0;
        if (allocation.reserve(&host) != AllocStatus::ok || allocation.commit() != AllocStatus::ok)
            return kUpdateFailed;
        htobe64p(host, pointer);
        if (!oru::pwrite_all(q->fd, cluster.data(), cluster.size(), host) ||
            !oru::pwrite_all(q->fd, pointer, sizeof pointer, entry_at))
            return kUpdateFailed;
        return nullptr;
    }
    if ((data & (q->cluster_size - 1)) != 0 || data < q->cluster_size ||
        !file_covers(q, data, q->cluster_size))
        return kTableCorrupt;
    const uint64_t first_byte = lo / 8, end_byte = (hi + 7) / 8;
    std::vector<unsigned char> bytes(end_byte - first_byte);
    if (oru::pread_full(q->fd, bytes.data(), bytes.size(), data + first_byte) !=
        static_cast<ssize_t>(bytes.size()))
        return kTableReadFailed;
    set_bits(bytes.data(), first_byte, lo, hi);
    if (!oru::pwrite_all(q->fd, bytes.data(), bytes.size(), data + first_byte))
        return kUpdateFailed;
    return nullptr;
}

// Guest bytes [offset, end) marked changed in b.
const char *mark(qcow2 *q, const TrackedBitmap &b, uint64_t offset, uint64_t end) {
    const uint64_t bits_per_cluster = uint64_t{q->cluster_size} * 8;
    const uint64_t last = ((end - 1) >> b.granularity_bits) + 1;
    for (uint64_t bit = offset >> b.granularity_bits; bit < last;) {
        const uint64_t index = bit / bits_per_cluster, first = index * bits_per_cluster;
        const uint64_t stop = std::min(last, first + bits_per_cluster);
        if (const char *e = mark_cluster(q, b, index, bit - first, stop - first)) return e;
        bit = stop;
    }
    return nullptr;
}

// The bitmaps' last resort: every autoclear bit cleared, durably, so that
// qemu drops the bitmaps instead of trusting them.
bool drop_bitmaps(qcow2 *q, qcow2_dirty_state *s) {
    s->marking = false;
    return write_autoclear(q, 0) && sync(q);
}

// Decides, at the first change, whether the bitmaps can be kept, and marks
// the enabled ones in use. false only when neither keeping nor dropping them
// reached the disk.
bool begin_changes(qcow2 *q, qcow2_dirty_state *s) {
    unsigned char header[kBitmapHeaderBytes] = {};
    if (oru::pread_full(q->fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return false;
    // Version 2 headers have no autoclear features, so no bitmap of theirs
    // is ever consistent.
    if (be32tohp(header + kVersionAt) < 3) return true;
    const uint64_t autoclear = be64tohp(header + kAutoclearAt);
    BitmapDirectory directory;
    bool keep = autoclear & kAutoclearBitmaps && read_bitmap_directory(q, &directory) == nullptr &&
                directory.present && directory.consistent;
    for (const DirtyBitmap &b : directory.bitmaps) {
        if (!keep || !b.enabled) continue;
        // A bitmap already in use stays so: it is inconsistent whatever
        // happens. Any other one this library cannot update would go stale.
        if (b.flags & kBitmapFlagInUse) continue;
        if (b.inconsistent) {
            keep = false;
            break;
        }
        s->tracked.push_back({directory.offset + b.entry_offset + kFlagsInEntry, b.flags,
                              b.table_offset, b.table_size, b.granularity_bits});
    }
    if (!keep) {
        s->tracked.clear();
        return autoclear == 0 || drop_bitmaps(q, s);
    }
    // Unknown autoclear features describe the data too: they go.
    bool ok = autoclear == kAutoclearBitmaps || write_autoclear(q, kAutoclearBitmaps);
    for (const TrackedBitmap &b : s->tracked)
        ok = ok && write_flags(q, b, b.flags | kBitmapFlagInUse);
    if (ok && (s->tracked.empty() ? autoclear == kAutoclearBitmaps || sync(q) : sync(q))) {
        s->marking = !s->tracked.empty();
        return true;
    }
    s->tracked.clear();
    return drop_bitmaps(q, s);
}

int fail(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
    return -1;
}

int fail_system(qcow2 *q, char **error) {
    return fail(error, system_error_text(q));
}

} // namespace

int qcow2_prepare_change(qcow2 *q, uint64_t offset, uint64_t length, char **error) {
    if (!q) return fail(error, kNoImage);
    if (q->flag == ORU_RO) return fail(error, kReadOnly);
    try {
        if (!q->dirty_bitmaps) q->dirty_bitmaps = new qcow2_dirty_state;
        qcow2_dirty_state *s = q->dirty_bitmaps;
        if (!s->prepared) {
            errno = 0;
            if (!begin_changes(q, s))
                return errno != 0 ? fail_system(q, error) : fail(error, kHeaderFailed);
            s->prepared = true;
        }
        const uint64_t end = std::min(q->size, offset + std::min(length, UINT64_MAX - offset));
        if (!s->marking || offset >= end) return 0;
        for (const TrackedBitmap &b : s->tracked) {
            if (mark(q, b, offset, end) == nullptr) continue;
            if (!drop_bitmaps(q, s)) return fail_system(q, error);
            break;
        }
        return 0;
    } catch (...) {
        // Only memory runs out here. The guest data is not changed yet and
        // the change is refused; bits already set only say "changed" of
        // bytes that were not, which costs a backup a little, never a miss.
        return fail(error, kNoMemory);
    }
}

void qcow2_end_changes(qcow2 *q) {
    qcow2_dirty_state *s = q ? q->dirty_bitmaps : nullptr;
    if (!s || !s->marking) return;
    bool ok = true;
    for (const TrackedBitmap &b : s->tracked)
        ok = ok && write_flags(q, b, b.flags);
    if (ok) sync(q);
    s->marking = false;
}

void qcow2_release_dirty_state(qcow2 *q) {
    delete q->dirty_bitmaps;
    q->dirty_bitmaps = nullptr;
}
