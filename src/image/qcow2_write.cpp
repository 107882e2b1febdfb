// qcow2 writes: guest byte ranges stored into an open image, allocating L2
// tables and data clusters at the end of the file as they are first touched.
//
// Order of what lands in the file, so that a process killed at any instant
// leaves at worst leaked clusters: a new cluster is counted (refcount 1)
// and holds its contents (backing copy, inflated compressed data, or the
// caller's bytes) before any L1 or L2 entry points at it. Within one call the
// clusters of an L2 table are gathered and put in place together: the file
// grows once, their counts are written in one go, the caller's bytes go out
// in runs that are contiguous on the host, and the L2 entries follow in one
// write.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/export.h"
#include "image/qcow2_allocation.h"
#include "image/qcow2_dirty_bitmap.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/bounded_copy.h"
#include "util/file_io.h"

namespace {

using namespace oru::qcow2_engine;

constexpr char kNoBuffer[] = "invalid write buffer";
constexpr char kTooLong[] = "write request is too large";
constexpr char kSnapshots[] = "qcow image has internal snapshots, writes are not supported";
// Texts of an L2 table allocation and of a data cluster allocation.
constexpr char kL2ExtendFailed[] = "image file extend failed";
constexpr char kL2RefcountFailed[] = "update refount failed";
constexpr char kDataExtendFailed[] = "file extend failed";
constexpr char kDataRefcountFailed[] = "update refcount failed";

// Header fields a write consults.
constexpr size_t kHeaderBytes = 96;
constexpr size_t kSnapshotCountAt = 60;

struct Texts {
    const char *extend;
    const char *refcount;
};
constexpr Texts kL2Texts{kL2ExtendFailed, kL2RefcountFailed};
constexpr Texts kDataTexts{kDataExtendFailed, kDataRefcountFailed};

const char *text_for(AllocStatus status, const Texts &texts) {
    if (status == AllocStatus::extend_failed) return texts.extend;
    if (status == AllocStatus::refcount_failed) return texts.refcount;
    return alloc_status_text(status);
}

bool all_zero(const unsigned char *p, size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// One call of qcow2_write.
class GuestWrite {
  public:
    GuestWrite(qcow2 *q, char **error) : q_(q), error_(error), allocation_(q) {}

    // Refusals that must come before anything is written.
    bool admissible(uint64_t offset, size_t length) {
        if (q_->flag == ORU_RO) return fail(kReadOnly);
        if (length > INT_MAX) return fail(kTooLong);
        if (l1_index(q_, offset + length - 1) >= l1_entries(q_)) return fail(kBeyondL1);
        return qcow2_before_first_change(q_, offset, length, error_) == 0;
    }

    int write(const unsigned char *src, size_t length, uint64_t offset) {
        size_t done = 0;
        while (done < length) {
            uint64_t guest = offset + done;
            uint64_t in_range = l2_coverage(q_) - (guest & (l2_coverage(q_) - 1));
            size_t piece = static_cast<size_t>(std::min<uint64_t>(length - done, in_range));
            bool ok = write_l2_range(src + done, piece, guest);
            // What earlier clusters already gathered stays written, as a
            // plain sequence of passes would have left it.
            bool committed = commit(kDataTexts);
            if (!ok || !committed) return -1;
            done += piece;
        }
        return static_cast<int>(done);
    }

  private:
    bool fail(const char *text) {
        set_error(error_, text);
        return false;
    }

    bool fail_system() { return fail(system_error_text(q_)); }

    bool fail_alloc(AllocStatus status, const Texts &texts) {
        return fail(text_for(status, texts));
    }

    // A new L2 table for the current L1 entry. Only allocated together with
    // the first data cluster it maps, so there must be room for both.
    bool allocate_table() {
        if (AllocStatus s = allocation_.check_capacity(2); s != AllocStatus::ok)
            return fail_alloc(s, kL2Texts);
        uint64_t table;
        if (AllocStatus s = allocation_.reserve(&table); s != AllocStatus::ok)
            return fail_alloc(s, kL2Texts);
        if (AllocStatus s = allocation_.commit(); s != AllocStatus::ok)
            return fail_alloc(s, kL2Texts);
        uint64_t entry_offset = q_->l1_table_offset + l1_index_ * 8;
        if (!file_covers(q_, entry_offset, 8)) return fail(kL1StoreFailed);
        unsigned char entry[8];
        htobe64p(table | kFlagCopied, entry);
        if (!oru::pwrite_all(q_->fd, entry, sizeof entry, entry_offset)) return fail_system();
        table_ = table;
        return true;
    }

    const uint64_t *l2_view() { return static_cast<const uint64_t *>(load_cluster(q_, table_, 0)); }

    bool write_l2_range(const unsigned char *src, size_t length, uint64_t guest) {
        l1_index_ = l1_index(q_, guest);
        table_ = l1_entry(q_, l1_index_) & kOffsetMask;
        if (table_ % q_->cluster_size != 0) return fail(kL2Misaligned);
        size_t done = 0;
        while (done < length) {
            uint64_t pos = guest + done;
            uint64_t in_cluster = offset_in_cluster(q_, pos);
            size_t piece = static_cast<size_t>(
                std::min<uint64_t>(length - done, q_->cluster_size - in_cluster));
            if (!write_cluster(src + done, piece, pos)) return false;
            done += piece;
        }
        return true;
    }

    bool write_cluster(const unsigned char *src, size_t piece, uint64_t pos) {
        if (table_ == 0) return write_new_cluster(l2_index(q_, pos), src, piece, pos);
        const uint64_t *view = l2_view();
        if (!view) return fail(kLoadL2Failed);
        uint64_t index = l2_index(q_, pos);
        uint64_t entry = be64tohp(view + index);
        ClusterMapping m = decode_l2_entry(q_, entry);
        uint64_t in_cluster = offset_in_cluster(q_, pos);
        switch (m.kind) {
        case ClusterKind::standard:
            // Cluster 0 holds the header; writing guest data there would
            // destroy the image.
            if (m.host_offset < q_->cluster_size) return fail(kL2EntryCorrupt);
            if (AllocStatus s = allocation_.mark_used(m.host_offset); s != AllocStatus::ok)
                return fail_alloc(s, kL2Texts);
            return queue_data(m.host_offset + in_cluster, src, piece);
        case ClusterKind::zero:
            return write_zero_cluster(entry & kOffsetMask, index, src, piece, in_cluster);
        case ClusterKind::unallocated:
            return write_new_cluster(index, src, piece, pos);
        case ClusterKind::compressed:
            return write_compressed_cluster(m, index, src, piece, pos);
        }
        return true;
    }

    // The cluster reads as zeros: whatever the write does not cover must
    // stay zero, whatever lies at its offset or in the backing file.
    bool write_zero_cluster(uint64_t host, uint64_t index, const unsigned char *src, size_t piece,
                            uint64_t in_cluster) {
        bool fresh = host == 0;
        if (!fresh && host < q_->cluster_size) return fail(kL2EntryCorrupt);
        if (fresh) {
            if (AllocStatus s = allocation_.reserve(&host); s != AllocStatus::ok)
                return fail_alloc(s, kDataTexts);
        } else if (AllocStatus s = allocation_.mark_used(host); s != AllocStatus::ok) {
            return fail_alloc(s, kDataTexts);
        }
        queue_entry(index, host | kFlagCopied);
        if (fresh || piece == q_->cluster_size) return queue_data(host + in_cluster, src, piece);
        // Preallocated: its old bytes are stale and must not show through.
        if (!fill_buffer()) return false;
        std::memset(fill_.get(), 0, q_->cluster_size);
        std::memcpy(fill_.get() + in_cluster, src, piece);
        return queue_data(host, fill_.get(), q_->cluster_size) && commit(kDataTexts);
    }

    bool write_new_cluster(uint64_t index, const unsigned char *src, size_t piece, uint64_t pos) {
        uint64_t in_cluster = offset_in_cluster(q_, pos);
        bool backed = q_->backing_file[0] != '\0' && piece < q_->cluster_size;
        // Read first: a failed read must leave nothing allocated.
        if (backed && !read_backing_cluster(pos - in_cluster)) return false;
        if (table_ == 0 && !allocate_table()) return false;
        uint64_t host;
        if (AllocStatus s = allocation_.reserve(&host); s != AllocStatus::ok)
            return fail_alloc(s, kDataTexts);
        queue_entry(index, host | kFlagCopied);
        // A backing cluster of zeros needs no copy: the new cluster is zeros.
        if (!backed || all_zero(fill_.get(), q_->cluster_size))
            return queue_data(host + in_cluster, src, piece);
        std::memcpy(fill_.get() + in_cluster, src, piece);
        return queue_data(host, fill_.get(), q_->cluster_size) && commit(kDataTexts);
    }

    // Copy-on-write: the deflated descriptor is never an offset to write at.
    // The cluster moves to a new place holding its inflated contents, and the
    // compressed bytes lose this reference once nothing points at them.
    bool write_compressed_cluster(const ClusterMapping &m, uint64_t index, const unsigned char *src,
                                  size_t piece, uint64_t pos) {
        uint64_t in_cluster = offset_in_cluster(q_, pos);
        if (!fill_buffer()) return false;
        if (piece < q_->cluster_size) {
            std::memset(fill_.get(), 0, q_->cluster_size);
            if (qcow2_read(q_, fill_.get(), q_->cluster_size, pos - in_cluster, error_) < 0)
                return false;
        }
        uint64_t host;
        if (AllocStatus s = allocation_.reserve(&host); s != AllocStatus::ok)
            return fail_alloc(s, kDataTexts);
        std::memcpy(fill_.get() + in_cluster, src, piece);
        queue_entry(index, host | kFlagCopied);
        if (!queue_data(host, fill_.get(), q_->cluster_size) || !commit(kDataTexts)) return false;
        uint64_t first = m.host_offset >> q_->cluster_bits;
        uint64_t last =
            ((m.host_offset & ~uint64_t{511}) + m.compressed_length - 1) >> q_->cluster_bits;
        for (uint64_t c = first; c <= last; ++c)
            if (AllocStatus s = allocation_.release(c << q_->cluster_bits); s != AllocStatus::ok)
                return fail_alloc(s, kDataTexts);
        return true;
    }

    bool fill_buffer() {
        if (!fill_) fill_.reset(new (std::nothrow) unsigned char[q_->cluster_size]);
        return fill_ || fail(kNoMemory);
    }

    // The backing file's bytes of the guest cluster at cluster_start into
    // fill_. A failure fails the write: the cluster must never end up with
    // zeros where the backing data belongs.
    bool read_backing_cluster(uint64_t cluster_start) {
        if (!fill_buffer()) return false;
        std::memset(fill_.get(), 0, q_->cluster_size);
        char *ignored = nullptr;
        if (!backing_ && backing_.open(q_, &ignored) != 0) return fail(kBackingFailed);
        if (qcow2_read(backing_.get(), fill_.get(), q_->cluster_size, cluster_start, &ignored) < 0)
            return fail(kBackingFailed);
        return true;
    }

    bool queue_data(uint64_t host, const unsigned char *src, size_t length) {
        if (run_length_ != 0 && host == run_host_ + run_length_ && src == run_src_ + run_length_) {
            run_length_ += length;
            return true;
        }
        if (!flush_data()) return false;
        run_host_ = host;
        run_src_ = src;
        run_length_ = length;
        return true;
    }

    bool flush_data() {
        if (run_length_ == 0) return true;
        bool ok = oru::pwrite_all(q_->fd, run_src_, run_length_, run_host_);
        run_length_ = 0;
        return ok || fail_system();
    }

    void queue_entry(uint64_t index, uint64_t entry) { entries_.emplace_back(index, entry); }

    // The queued L2 entries of the current table in one write, together with
    // the unchanged entries between them.
    bool flush_entries() {
        if (entries_.empty()) return true;
        const L2Store stored = store_l2_entries(q_, table_, entries_);
        if (stored == L2Store::load_failed) return fail(kLoadL2Failed);
        entries_.clear();
        if (stored == L2Store::write_failed) return fail_system();
        return true;
    }

    // Counts first, then contents, then the entries that point at them.
    bool commit(const Texts &texts) {
        if (AllocStatus s = allocation_.commit(); s != AllocStatus::ok) return fail_alloc(s, texts);
        return flush_data() && flush_entries();
    }

    qcow2 *q_;
    char **error_;
    Allocation allocation_;
    BackingImage backing_;
    uint64_t l1_index_ = 0; // L1 entry of the range being written
    uint64_t table_ = 0;    // host offset of its L2 table, 0 while there is none
    std::unique_ptr<unsigned char[]> fill_;
    uint64_t run_host_ = 0;
    const unsigned char *run_src_ = nullptr;
    size_t run_length_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> entries_; // (L2 index, entry), rising indexes
};

} // namespace

ORU_EXPORT int qcow2_write(qcow2 *q, const void *buffer, size_t length, uint64_t offset,
                           char **error) {
    if (!q) {
        if (error) *error = const_cast<char *>(kNoImage);
        return -1;
    }
    if (offset >= q->size || length == 0) return 0;
    if (!buffer) {
        if (error) *error = const_cast<char *>(kNoBuffer);
        return -1;
    }
    length = static_cast<size_t>(std::min<uint64_t>(length, q->size - offset));
    try {
        GuestWrite call(q, error);
        if (!call.admissible(offset, length)) return -1;
        return call.write(static_cast<const unsigned char *>(buffer), length, offset);
    } catch (...) {
        if (error) *error = const_cast<char *>(kNoMemory);
        return -1;
    }
}

int oru::qcow2_engine::qcow2_before_first_change(qcow2 *q, uint64_t offset, uint64_t length,
                                                 char **error) {
    unsigned char header[kHeaderBytes];
    if (oru::pread_full(q->fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        if (error) *error = const_cast<char *>(kHeaderFailed);
        return -1;
    }
    // Clusters shared with snapshots carry counts above 1: changing them in
    // place would change the snapshots too.
    if (be32tohp(header + kSnapshotCountAt) != 0) {
        if (error) *error = const_cast<char *>(kSnapshots);
        return -1;
    }
    // No change-tracking bitmap may miss this change.
    return qcow2_prepare_change(q, offset, length, error);
}

ORU_EXPORT int copy_before_write(qcow2 *q, void *dest, size_t length, uint64_t offset) {
    if (!q || !dest) return -1;
    try {
        BackingImage backing;
        char *ignored = nullptr;
        if (backing.open(q, &ignored) != 0) return -1;
        return qcow2_read(backing.get(), dest, length, offset, &ignored) < 0 ? -1 : 0;
    } catch (...) {
        return -1;
    }
}

// Called by qcow2_close and the volume's flush: a call that succeeds leaves
// the data of a writable image on stable storage. Read-only records have
// nothing to flush. Every write, zeroing and metadata update has gone into
// the file (pwrite, ftruncate, punched holes) in its safe order before the
// call returned, so one fdatasync makes all of it durable; stores through the
// shared table mappings are pages of the same file and are written back by
// it as well, so no msync is needed first.
int qcow2_flush(qcow2 *q) {
    if (!q || q->fd < 0 || q->flag == ORU_RO) return 0;
    int rc;
    do
        rc = ::fdatasync(q->fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}
