// Cluster allocation and reference counts of the qcow2 write path. C++ only,
// nothing exported.
//
// Clusters are only ever appended at the end of the image file. A write call
// reserves the clusters it needs through one Allocation, which remembers the
// allocation cursor and the free room for the length of the call, queues the
// refcount updates of the new clusters, and puts both into the file at
// commit(): first the file grows over every reserved cluster, then the
// refcounts land. Callers write anything that points at a new cluster (L1
// or L2 entries) only after commit(), so a process killed at any instant
// leaves at worst clusters that are counted but unused (leaks), never an entry
// pointing at a cluster whose count is 0.
//
// Refcount entries are read through cache slot 1 (a read-only mapping of the
// refcount block last used) and written with pwrite, so that a full file
// system fails the call instead of raising SIGBUS in a store to a mapping.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qcow2.h"

namespace oru::qcow2_engine {

enum class AllocStatus {
    ok,
    size_unknown,      // the file length could not be read
    room_unknown,      // the file system could not be asked for free room
    no_room,           // less free room than one cluster
    table_full,        // the refcount table has no entry for the cluster
    width_unsupported, // refcount width this engine does not write
    extend_failed,     // the file could not be grown
    refcount_failed,   // a refcount block could not be read or written
};

// Text of the engine's own for the statuses that have no text of their own
// in the caller (the caller picks texts for extend and refcount failures).
const char *alloc_status_text(AllocStatus status);

// Refcount widths (1 << refcount_order bits) that writes can set.
bool refcount_width_writable(const qcow2 *q);

class Allocation {
  public:
    explicit Allocation(qcow2 *q) : q_(q) {}
    Allocation(const Allocation &) = delete;
    Allocation &operator=(const Allocation &) = delete;

    // Reserves the next cluster at the end of the file for an L2 table or
    // guest data, after checking the free room and that the refcount table
    // can count it (and the refcount blocks it may need). The cluster is
    // counted as used (queued); it is in the file after commit().
    AllocStatus reserve(uint64_t *host_offset);

    // Whether `clusters` reservations in a row would succeed (free room,
    // refcount table, width), without reserving anything.
    AllocStatus check_capacity(uint64_t clusters);

    // Makes sure the cluster holding host_offset is counted: a count of 0
    // becomes 1 (queued until commit()), any other count stays as it is.
    // May append a refcount block, which is put in place at once.
    AllocStatus mark_used(uint64_t host_offset);

    // Lowers the count of the cluster holding host_offset by one, at once
    // (used when a write moves a guest cluster off a shared compressed one,
    // or zeroing drops it). *remaining, when given, receives the new count
    // (UINT64_MAX when no count was lowered: the cluster had none).
    AllocStatus release(uint64_t host_offset, uint64_t *remaining = nullptr);

    // Grows the file over every reserved cluster, then writes the queued
    // refcounts. extend_failed or refcount_failed on failure.
    AllocStatus commit();

  private:
    struct Geometry {
        uint64_t table_index;
        uint64_t block_index;
    };
    Geometry locate(uint64_t host_offset) const;
    uint64_t entries_per_block() const;
    AllocStatus start();
    AllocStatus grow_file();
    AllocStatus block_for(uint64_t table_index, uint64_t *block);
    AllocStatus read_count(uint64_t block, uint64_t index, uint64_t *count);
    AllocStatus write_count(uint64_t block, uint64_t index, uint64_t count);
    AllocStatus flush_queue();

    qcow2 *q_;
    bool started_ = false;
    uint64_t next_ = 0; // where the next cluster goes
    bool room_known_ = false;
    uint64_t room_ = 0; // free bytes left as far as this call knows
    // Queued counts: entries [queue_first, queue_first + queue_count) of the
    // block at queue_block all go from 0 to 1.
    uint64_t queue_block_ = 0;
    uint64_t queue_first_ = 0;
    uint64_t queue_count_ = 0;
};

} // namespace oru::qcow2_engine
