// Cluster allocation at the end of a qcow2 image and the reference counts
// that go with it.
#include <errno.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/export.h"
#include "image/qcow2_allocation.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"

namespace oru::qcow2_engine {

namespace {

constexpr unsigned kRefcountSlot = 1; // cache slot of the refcount block last used
// Refcount blocks a reservation may bring along: one for the cluster, and one
// for that block when it falls into the next block's range.
constexpr uint64_t kExtraBlocks = 2;

void store_be(unsigned char *p, uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
}

uint64_t load_be(const unsigned char *p, unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

// Free bytes that this process may fill on the file system holding fd.
bool free_room(int fd, uint64_t *bytes) {
    struct statfs fs;
    int rc;
    do
        rc = ::fstatfs(fd, &fs);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;
    // Blocks kept for the superuser are free only to the superuser.
    uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    if (__builtin_mul_overflow(blocks, static_cast<uint64_t>(fs.f_bsize), bytes))
        *bytes = UINT64_MAX;
    return true;
}

} // namespace

const char *alloc_status_text(AllocStatus status) {
    switch (status) {
    case AllocStatus::ok:
        return "";
    case AllocStatus::size_unknown:
        return "get disk size failed";
    case AllocStatus::room_unknown:
        return "get disk free space failed";
    case AllocStatus::no_room:
        return "dest storage pool doesn't have enough space";
    case AllocStatus::table_full:
        return "qcow refcount table is full";
    case AllocStatus::width_unsupported:
        return "qcow refcount width is not supported for writing";
    case AllocStatus::extend_failed:
        return "file extend failed";
    case AllocStatus::refcount_failed:
        return "update refcount failed";
    }
    return "";
}

bool refcount_width_writable(const qcow2 *q) {
    return q->refcount_order >= 4 && q->refcount_order <= 6;
}

uint64_t Allocation::entries_per_block() const {
    return (uint64_t{q_->cluster_size} * 8) >> q_->refcount_order;
}

Allocation::Geometry Allocation::locate(uint64_t host_offset) const {
    uint64_t cluster = host_offset >> q_->cluster_bits;
    uint64_t per_block = entries_per_block();
    return {cluster / per_block, cluster % per_block};
}

AllocStatus Allocation::start() {
    if (started_) return AllocStatus::ok;
    int64_t length = getfilesize(q_);
    if (length < 0) return AllocStatus::size_unknown;
    // A partly filled last cluster is left as it is: allocation starts at
    // the next cluster boundary.
    uint64_t mask = uint64_t{q_->cluster_size} - 1;
    next_ = (static_cast<uint64_t>(length) + mask) & ~mask;
    started_ = true;
    return AllocStatus::ok;
}

AllocStatus Allocation::grow_file() {
    if (!started_ || next_ <= q_->file_size_seen) return AllocStatus::ok;
    uint64_t clusters = next_ >> q_->cluster_bits;
    if (clusters > UINT32_MAX) return AllocStatus::extend_failed;
    if (add_cluster(q_, static_cast<unsigned>(clusters)) == 0) return AllocStatus::extend_failed;
    return AllocStatus::ok;
}

AllocStatus Allocation::read_count(uint64_t block, uint64_t index, uint64_t *count) {
    if (block % q_->cluster_size != 0) return AllocStatus::refcount_failed;
    const auto *base = static_cast<const unsigned char *>(load_cluster(q_, block, kRefcountSlot));
    if (!base) return AllocStatus::refcount_failed;
    uint32_t order = static_cast<uint32_t>(q_->refcount_order);
    if (order >= 3) {
        unsigned bytes = 1u << (order - 3);
        *count = load_be(base + index * bytes, bytes);
    } else {
        // Narrow counts are packed from the least significant bit of a byte.
        unsigned bits = 1u << order;
        uint64_t bit = index * bits;
        *count = (base[bit / 8] >> (bit % 8)) & ((1u << bits) - 1);
    }
    return AllocStatus::ok;
}

AllocStatus Allocation::write_count(uint64_t block, uint64_t index, uint64_t count) {
    if (!refcount_width_writable(q_)) return AllocStatus::width_unsupported;
    unsigned bytes = 1u << (q_->refcount_order - 3);
    unsigned char entry[8];
    store_be(entry, count, bytes);
    if (!oru::pwrite_all(q_->fd, entry, bytes, block + index * bytes))
        return AllocStatus::refcount_failed;
    return AllocStatus::ok;
}

AllocStatus Allocation::flush_queue() {
    if (queue_count_ == 0) return AllocStatus::ok;
    // Counts describe clusters that must already be part of the file.
    if (AllocStatus s = grow_file(); s != AllocStatus::ok) return s;
    unsigned bytes = 1u << (q_->refcount_order - 3);
    std::vector<unsigned char> ones(queue_count_ * bytes);
    for (uint64_t i = 0; i < queue_count_; ++i)
        store_be(ones.data() + i * bytes, 1, bytes);
    if (!oru::pwrite_all(q_->fd, ones.data(), ones.size(), queue_block_ + queue_first_ * bytes))
        return AllocStatus::refcount_failed;
    queue_count_ = 0;
    return AllocStatus::ok;
}

AllocStatus Allocation::block_for(uint64_t table_index, uint64_t *block) {
    if (table_index >= refcount_table_entries(q_)) return AllocStatus::table_full;
    *block = refcount_table_entry(q_, table_index) & kOffsetMask;
    if (*block != 0) return AllocStatus::ok;
    if (!refcount_width_writable(q_)) return AllocStatus::width_unsupported;
    if (AllocStatus s = start(); s != AllocStatus::ok) return s;

    // A new block goes at the end and must count itself before the refcount
    // table points at it.
    uint64_t new_block = next_;
    next_ += q_->cluster_size;
    if (AllocStatus s = grow_file(); s != AllocStatus::ok) return s;
    Geometry own = locate(new_block);
    if (own.table_index == table_index) {
        if (AllocStatus s = write_count(new_block, own.block_index, 1); s != AllocStatus::ok)
            return s;
    } else {
        if (AllocStatus s = mark_used(new_block); s != AllocStatus::ok) return s;
        if (AllocStatus s = flush_queue(); s != AllocStatus::ok) return s;
    }
    // The table entry goes in with pwrite: a store into a mapped hole of a
    // full file system would kill the process.
    uint64_t entry_offset = q_->refcount_table_offset + table_index * 8;
    if (!file_covers(q_, entry_offset, 8)) return AllocStatus::refcount_failed;
    unsigned char entry[8];
    store_be(entry, new_block, 8);
    if (!oru::pwrite_all(q_->fd, entry, 8, entry_offset)) return AllocStatus::refcount_failed;
    *block = new_block;
    return AllocStatus::ok;
}

AllocStatus Allocation::mark_used(uint64_t host_offset) {
    if (q_->refcount_order > 6) return AllocStatus::width_unsupported;
    Geometry g = locate(host_offset);
    uint64_t block;
    if (AllocStatus s = block_for(g.table_index, &block); s != AllocStatus::ok) return s;
    if (queue_count_ != 0 && block == queue_block_ && g.block_index >= queue_first_ &&
        g.block_index < queue_first_ + queue_count_)
        return AllocStatus::ok;
    uint64_t count;
    if (AllocStatus s = read_count(block, g.block_index, &count); s != AllocStatus::ok) return s;
    if (count != 0) return AllocStatus::ok;
    if (!refcount_width_writable(q_)) return AllocStatus::width_unsupported;
    if (queue_count_ != 0 &&
        (block != queue_block_ || g.block_index != queue_first_ + queue_count_)) {
        if (AllocStatus s = flush_queue(); s != AllocStatus::ok) return s;
    }
    if (queue_count_ == 0) {
        queue_block_ = block;
        queue_first_ = g.block_index;
    }
    ++queue_count_;
    return AllocStatus::ok;
}

AllocStatus Allocation::check_capacity(uint64_t clusters) {
    if (!refcount_width_writable(q_)) return AllocStatus::width_unsupported;
    if (AllocStatus s = start(); s != AllocStatus::ok) return s;
    // Refuse before anything is allocated when the table could not count
    // the clusters or the refcount blocks they may bring along.
    uint64_t last = next_ + (clusters + kExtraBlocks - 1) * q_->cluster_size;
    if (last < next_ || locate(last).table_index >= refcount_table_entries(q_))
        return AllocStatus::table_full;
    if (!room_known_) {
        if (!free_room(q_->fd, &room_)) return AllocStatus::room_unknown;
        room_known_ = true;
    }
    if (room_ / q_->cluster_size < clusters) return AllocStatus::no_room;
    return AllocStatus::ok;
}

AllocStatus Allocation::reserve(uint64_t *host_offset) {
    if (AllocStatus s = check_capacity(1); s != AllocStatus::ok) return s;
    room_ -= q_->cluster_size;
    *host_offset = next_;
    next_ += q_->cluster_size;
    return mark_used(*host_offset);
}

AllocStatus Allocation::release(uint64_t host_offset, uint64_t *remaining) {
    if (remaining) *remaining = UINT64_MAX; // nothing lowered
    if (q_->refcount_order > 6) return AllocStatus::width_unsupported;
    if (AllocStatus s = flush_queue(); s != AllocStatus::ok) return s;
    Geometry g = locate(host_offset);
    if (g.table_index >= refcount_table_entries(q_)) return AllocStatus::ok;
    uint64_t block = refcount_table_entry(q_, g.table_index) & kOffsetMask;
    if (block == 0) return AllocStatus::ok;
    uint64_t count;
    if (AllocStatus s = read_count(block, g.block_index, &count); s != AllocStatus::ok) return s;
    if (count == 0) return AllocStatus::ok;
    if (remaining) *remaining = count - 1;
    return write_count(block, g.block_index, count - 1);
}

AllocStatus Allocation::commit() {
    if (AllocStatus s = grow_file(); s != AllocStatus::ok) return s;
    return flush_queue();
}

} // namespace oru::qcow2_engine

// Counts only ever go from 0 to 1 here: flag 1 marks the cluster holding
// offset as used, and a cluster already counted is left as it is.
ORU_EXPORT int update_refcount(qcow2 *q, uint64_t offset, int flag) {
    using namespace oru::qcow2_engine;
    if (!q || q->flag == ORU_RO) return -1;
    if (flag != 1) return 0;
    try {
        Allocation allocation(q);
        if (allocation.mark_used(offset) != AllocStatus::ok) return -1;
        return allocation.commit() == AllocStatus::ok ? 0 : -1;
    } catch (...) {
        return -1;
    }
}
