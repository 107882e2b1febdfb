// qcow2 zeroing: guest byte ranges made to read as zeros at the cheapest
// means the image allows, without writing zero data where metadata says it.
//
// Whole clusters, where no backing data shows through (no backing file, the
// cluster lies past the backing image's end, which reads as zeros, or the
// backing chain's own extents say zeros there):
// deallocated (entry 0), their data clusters released and punched out of the
// file once nothing counts them. Where a backing image shows through:
// version 3 images get zero-flag entries (the data cluster released as
// above); version 2 has no zero flag, so an allocated cluster is punched
// (or overwritten) in place, and an unallocated or compressed one is pointed
// at a new cluster appended as a hole. Clusters that already read as zeros
// are left alone, so zeroing unallocated space of a standalone image changes
// nothing at all. Partial clusters at the edges go through qcow2_write.
//
// Order of what lands in the file, as for writes: new clusters (L2 tables,
// version 2 zero clusters) are counted before an entry points at them; the
// entries of one L2 table change in one write; only then are the counts of
// the clusters they no longer point at lowered, and a cluster whose count
// reaches 0 is punched last. A process killed at any instant leaves at worst
// leaked clusters, never an entry pointing at a cluster counted 0.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "image/qcow2_allocation.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/bounded_copy.h"
#include "util/file_io.h"

namespace {

using namespace oru::qcow2_engine;

constexpr char kExtendFailed[] = "file extend failed";
constexpr char kRefcountFailed[] = "update refcount failed";

uint64_t round_up(uint64_t value, uint64_t unit) {
    return (value + unit - 1) & ~(unit - 1);
}

// What the backing chain shows below the image: where an unallocated cluster
// would read data rather than zeros. Past the backing image's end reads give
// zeros, and so do the chain's own holes and zero clusters (its extents).
class BackingView {
  public:
    // 0, or -1 with *error set when the image names a backing file that
    // cannot be opened (reads would fail there too).
    int open(const qcow2 *image, char **error) {
        if (image->backing_file[0] == '\0') return 0;
        char *ignored = nullptr;
        if (image_.open(image, &ignored) != 0) return set_error(error, kBackingFailed), -1;
        end_ = image_.get()->size;
        return 0;
    }

    // True when some byte of [start, start + length) may read as data.
    bool shows(uint64_t start, uint64_t length) {
        if (!image_ || start >= end_) return false;
        const uint64_t end = std::min(start + length, end_);
        if (start < window_start_ || end > window_end_) load(start, end - start);
        auto after = std::upper_bound(zeros_.begin(), zeros_.end(), start,
                                      [](uint64_t value, const std::pair<uint64_t, uint64_t> &run) {
                                          return value < run.first;
                                      });
        if (after == zeros_.begin()) return true;
        const auto &run = *(after - 1);
        return !(run.first <= start && end <= run.second);
    }

    // Asks the chain once for a whole range that shows() will be asked about.
    void load(uint64_t start, uint64_t length) {
        zeros_.clear();
        window_start_ = window_end_ = 0;
        if (!image_ || start >= end_) return;
        length = std::min(length, end_ - start);
        char *ignored = nullptr;
        if (qcow2_extents(image_.get(), start, length, collect, this, &ignored) != 0) {
            zeros_.clear(); // unknown: everything may show data
            return;
        }
        window_start_ = start;
        window_end_ = start + length;
    }

  private:
    static int collect(void *opaque, uint64_t offset, uint64_t length, int zero) {
        auto *self = static_cast<BackingView *>(opaque);
        if (!zero) return 0;
        if (!self->zeros_.empty() && self->zeros_.back().second == offset)
            self->zeros_.back().second = offset + length;
        else
            self->zeros_.emplace_back(offset, offset + length);
        return 0;
    }

    BackingImage image_;
    uint64_t end_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> zeros_; // [from, to), rising
    uint64_t window_start_ = 0, window_end_ = 0;
};

// One call of qcow2_zero over whole clusters.
class GuestZero {
  public:
    GuestZero(qcow2 *q, char **error, BackingView *backing, bool zero_flag)
        : q_(q), error_(error), backing_(backing), zero_flag_(zero_flag), allocation_(q) {}

    // [offset, offset + length) in whole clusters.
    bool zero(uint64_t offset, uint64_t length) {
        uint64_t done = 0;
        while (done < length) {
            uint64_t guest = offset + done;
            uint64_t in_range = l2_coverage(q_) - (guest & (l2_coverage(q_) - 1));
            uint64_t piece = std::min(length - done, in_range);
            if (!zero_l2_range(guest, piece)) return false;
            done += piece;
        }
        return true;
    }

  private:
    bool fail(const char *text) {
        set_error(error_, text);
        return false;
    }

    bool fail_system() { return fail(system_error_text(q_)); }

    bool fail_alloc(AllocStatus status) {
        if (status == AllocStatus::extend_failed) return fail(kExtendFailed);
        if (status == AllocStatus::refcount_failed) return fail(kRefcountFailed);
        return fail(alloc_status_text(status));
    }

    bool shows_backing(uint64_t guest_cluster) {
        return backing_->shows(guest_cluster, q_->cluster_size);
    }

    bool zero_l2_range(uint64_t guest, uint64_t length) {
        l1_index_ = l1_index(q_, guest);
        table_ = l1_entry(q_, l1_index_) & kOffsetMask;
        if (table_ % q_->cluster_size != 0) return fail(kL2Misaligned);
        backing_->load(guest, length);
        if (table_ == 0) {
            // Every cluster is unallocated: only those over backing data
            // need an entry.
            if (!backing_->shows(guest, length)) return true;
            if (!allocate_table()) return false;
        }
        for (uint64_t pos = guest; pos < guest + length; pos += q_->cluster_size)
            if (!zero_cluster(pos)) return false;
        return commit();
    }

    // A new, empty L2 table for the current L1 entry: counted before the L1
    // entry points at it.
    bool allocate_table() {
        uint64_t table;
        if (AllocStatus s = allocation_.reserve(&table); s != AllocStatus::ok) return fail_alloc(s);
        if (AllocStatus s = allocation_.commit(); s != AllocStatus::ok) return fail_alloc(s);
        uint64_t entry_offset = q_->l1_table_offset + l1_index_ * 8;
        if (!file_covers(q_, entry_offset, 8)) return fail(kL1StoreFailed);
        unsigned char entry[8];
        htobe64p(table | kFlagCopied, entry);
        if (!oru::pwrite_all(q_->fd, entry, sizeof entry, entry_offset)) return fail_system();
        table_ = table;
        return true;
    }

    bool zero_cluster(uint64_t pos) {
        const auto *view = static_cast<const uint64_t *>(load_cluster(q_, table_, 0));
        if (!view) return fail(kLoadL2Failed);
        uint64_t index = l2_index(q_, pos);
        ClusterMapping m = decode_l2_entry(q_, be64tohp(view + index));
        const bool backed = shows_backing(pos);
        switch (m.kind) {
        case ClusterKind::zero:
            return true;
        case ClusterKind::unallocated:
            return !backed || replace(index, m, backed);
        case ClusterKind::standard:
            // Cluster 0 holds the header; it is never a guest cluster.
            if (m.host_offset < q_->cluster_size) return fail(kL2EntryCorrupt);
            if (backed && !zero_flag_) return zero_in_place(m.host_offset);
            return replace(index, m, backed);
        case ClusterKind::compressed:
            return replace(index, m, backed);
        }
        return true;
    }

    // Points the entry at something that reads as zeros and queues the
    // release of the clusters it pointed at.
    bool replace(uint64_t index, const ClusterMapping &m, bool backed) {
        uint64_t entry = 0;
        if (backed && zero_flag_) {
            entry = kFlagZero;
        } else if (backed) {
            // Version 2 over a backing image: a new cluster, a hole at the
            // end of the file, holds the zeros.
            uint64_t host;
            if (AllocStatus s = allocation_.reserve(&host); s != AllocStatus::ok)
                return fail_alloc(s);
            entry = host | kFlagCopied;
        }
        entries_.emplace_back(index, entry);
        if (m.kind == ClusterKind::standard) {
            releases_.push_back(m.host_offset);
        } else if (m.kind == ClusterKind::compressed) {
            // A compressed cluster holds one count on every host cluster
            // its bytes touch.
            uint64_t first = m.host_offset >> q_->cluster_bits;
            uint64_t last =
                ((m.host_offset & ~uint64_t{511}) + m.compressed_length - 1) >> q_->cluster_bits;
            for (uint64_t c = first; c <= last; ++c)
                releases_.push_back(c << q_->cluster_bits);
        }
        return true;
    }

    // Version 2 cannot say "zeros" over a backing image, so the allocated
    // cluster keeps its place and loses its bytes.
    bool zero_in_place(uint64_t host) {
        if (oru::punch_zeroes(q_->fd, host, q_->cluster_size)) return true;
        if (!oru::punch_unsupported(errno)) return fail_system();
        if (!zeros_) zeros_.reset(new (std::nothrow) unsigned char[q_->cluster_size]());
        if (!zeros_) return fail(kNoMemory);
        return oru::pwrite_all(q_->fd, zeros_.get(), q_->cluster_size, host) || fail_system();
    }

    // New clusters counted, then the entries, then the old counts lowered
    // and the clusters nothing counts any more punched out of the file.
    bool commit() {
        if (AllocStatus s = allocation_.commit(); s != AllocStatus::ok) return fail_alloc(s);
        if (!write_entries()) return false;
        std::vector<uint64_t> releases = std::move(releases_);
        releases_.clear();
        uint64_t run_start = 0, run_length = 0;
        for (uint64_t host : releases) {
            uint64_t remaining;
            if (AllocStatus s = allocation_.release(host, &remaining); s != AllocStatus::ok)
                return fail_alloc(s);
            if (remaining != 0) continue;
            if (run_length != 0 && host == run_start + run_length) {
                run_length += q_->cluster_size;
                continue;
            }
            punch(run_start, run_length);
            run_start = host;
            run_length = q_->cluster_size;
        }
        punch(run_start, run_length);
        return true;
    }

    // Freed clusters given back to the file system. Only space is at stake:
    // nothing points at them, so a file system that cannot punch keeps them.
    void punch(uint64_t host, uint64_t length) {
        if (length != 0) oru::punch_zeroes(q_->fd, host, length);
    }

    // The queued entries of the current table in one write, together with
    // the unchanged entries between them.
    bool write_entries() {
        if (entries_.empty()) return true;
        const L2Store stored = store_l2_entries(q_, table_, entries_);
        if (stored == L2Store::load_failed) return fail(kLoadL2Failed);
        entries_.clear();
        if (stored == L2Store::write_failed) return fail_system();
        return true;
    }

    qcow2 *q_;
    char **error_;
    BackingView *backing_;
    bool zero_flag_;
    Allocation allocation_;
    uint64_t l1_index_ = 0;
    uint64_t table_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> entries_; // (L2 index, entry), rising indexes
    std::vector<uint64_t> releases_;                     // host clusters losing a count
    std::unique_ptr<unsigned char[]> zeros_;
};

// Part of one cluster: written as zeros unless it already reads as zeros.
int zero_partial(qcow2 *q, uint64_t offset, uint64_t length, BackingView *backing, char **error) {
    if (length == 0) return 0;
    ClusterMapping m;
    if (map_guest_cluster(q, offset, &m, error) != 0) return -1;
    if (m.kind == ClusterKind::zero) return 0;
    if (m.kind == ClusterKind::unallocated && !backing->shows(offset, length)) return 0;
    std::unique_ptr<unsigned char[]> zeros(new (std::nothrow) unsigned char[length]());
    if (!zeros) return set_error(error, kNoMemory), -1;
    return qcow2_write(q, zeros.get(), static_cast<size_t>(length), offset, error) < 0 ? -1 : 0;
}

int zero_range(qcow2 *q, uint64_t offset, uint64_t length, char **error) {
    const uint64_t cluster = q->cluster_size;
    // The last cluster of an image whose size is not a multiple of the
    // cluster size is whole as far as zeroing goes: nothing past the size
    // is ever read.
    uint64_t end = offset + length;
    if (end == q->size) end = round_up(end, cluster);
    if (l1_index(q, end - 1) >= l1_entries(q)) return set_error(error, kBeyondL1), -1;
    // Counts are lowered as clusters are dropped: refuse before anything
    // changes where they cannot be written.
    if (!refcount_width_writable(q))
        return set_error(error, alloc_status_text(AllocStatus::width_unsupported)), -1;

    unsigned char header[8];
    if (oru::pread_full(q->fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return set_error(error, kHeaderFailed), -1;
    const bool zero_flag = be32tohp(header + kVersionAt) >= 3;
    BackingView backing;
    if (backing.open(q, error) != 0) return -1;
    if (qcow2_before_first_change(q, offset, end - offset, error) != 0) return -1;

    const uint64_t first_whole = round_up(offset, cluster);
    const uint64_t end_whole = end & ~(cluster - 1);
    if (first_whole >= end_whole) {
        // Inside one cluster, or two partial ones.
        uint64_t split = std::min(first_whole, end);
        if (zero_partial(q, offset, split - offset, &backing, error) != 0) return -1;
        if (split < end && zero_partial(q, split, end - split, &backing, error) != 0) return -1;
        return 0;
    }
    // The edges first: each write keeps its own allocation state, which the
    // whole clusters' must not overlap.
    if (offset < first_whole && zero_partial(q, offset, first_whole - offset, &backing, error) != 0)
        return -1;
    if (end_whole < end && zero_partial(q, end_whole, end - end_whole, &backing, error) != 0)
        return -1;
    GuestZero call(q, error, &backing, zero_flag);
    return call.zero(first_whole, end_whole - first_whole) ? 0 : -1;
}

} // namespace

int qcow2_zero(qcow2 *q, uint64_t offset, uint64_t length, char **error) {
    if (!q) return set_error(error, kNoImage), -1;
    if (offset >= q->size || length == 0) return 0;
    if (q->flag == ORU_RO) return set_error(error, kReadOnly), -1;
    length = std::min<uint64_t>(length, q->size - offset);
    try {
        return zero_range(q, offset, length, error);
    } catch (...) {
        return set_error(error, kNoMemory), -1;
    }
}
