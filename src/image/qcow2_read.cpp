// qcow2 reads: guest byte ranges turned into file reads, zeros, inflated
// compressed clusters and reads of the backing chain.
//
// Neighbouring guest clusters of the same kind are served together: one
// pread for standard clusters that are contiguous on the host, one memset for
// zeros, one read of the backing image for a run of unallocated clusters. The
// backing image is opened at the first unallocated run of a call and closed
// when the call returns, so its lock is held only during the call.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "core/export.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"

namespace oru::qcow2_engine {

ClusterMapping decode_l2_entry(const qcow2 *q, uint64_t entry) {
    ClusterMapping m;
    if (!(entry & kFlagCopied) && (entry & kFlagCompressed)) {
        // Bits 0..x-1 hold the byte offset, bits x..61 the number of
        // 512-byte sectors beyond the first.
        uint32_t x = 70 - q->cluster_bits;
        m.kind = ClusterKind::compressed;
        m.host_offset = entry & ((uint64_t{1} << x) - 1);
        m.compressed_length = (((entry & 0x3FFFFFFFFFFFFFFFULL) >> x) + 1) * 512;
        return m;
    }
    if (entry & kFlagZero) {
        m.kind = ClusterKind::zero;
        return m;
    }
    m.host_offset = entry & kOffsetMask;
    m.kind =
        (entry & kFlagCopied) || m.host_offset ? ClusterKind::standard : ClusterKind::unallocated;
    return m;
}

int map_guest_cluster(qcow2 *q, uint64_t guest_offset, ClusterMapping *mapping, char **error) {
    *mapping = ClusterMapping{};
    uint64_t l2_offset = l1_entry(q, l1_index(q, guest_offset)) & kOffsetMask;
    if (l2_offset == 0) return 0;
    const void *table = load_cluster(q, l2_offset, 0);
    if (!table) {
        set_error(error, kLoadL2Failed);
        return -1;
    }
    uint64_t entry = be64tohp(static_cast<const uint64_t *>(table) + l2_index(q, guest_offset));
    *mapping = decode_l2_entry(q, entry);
    return 0;
}

} // namespace oru::qcow2_engine

namespace {

using namespace oru::qcow2_engine;

constexpr char kReadFailed[] = "read failed";
constexpr char kNoBuffer[] = "invalid read buffer";
constexpr char kChainTooLong[] = "backing file chain is too long";
constexpr char kIncompleteCluster[] = "unable to read compressed data:cluster is incomplete.";

// How deep the current thread is in a backing chain.
thread_local int backing_depth = 0;

// One call of qcow2_read.
class GuestRead {
  public:
    GuestRead(qcow2 *q, char **error) : q_(q), error_(error) {}

    int read(char *dest, size_t len, uint64_t offset) {
        size_t done = 0;
        while (done < len) {
            uint64_t pos = offset + done;
            ClusterMapping m;
            uint64_t run = 0;
            if (find_run(pos, len - done, &m, &run) != 0) return -1;
            if (serve(m, dest + done, run, pos) != 0) return -1;
            done += run;
        }
        return static_cast<int>(done);
    }

  private:
    // The mapping at pos and how many bytes (at most `limit`) from pos on
    // share it: same kind and, for standard clusters, contiguous on the host.
    int find_run(uint64_t pos, uint64_t limit, ClusterMapping *m, uint64_t *run) {
        uint64_t span = 0;
        if (lookup(pos, m, &span) != 0) return -1;
        *run = std::min(limit, span);
        if (m->kind == ClusterKind::compressed) return 0;
        uint64_t next_host = m->host_offset + q_->cluster_size;
        while (*run < limit) {
            // A table that cannot be loaded ends the run here; the next
            // pass reports it after what comes before has been served.
            ClusterMapping next;
            if (lookup(pos + *run, &next, &span) != 0) break;
            if (next.kind != m->kind) break;
            if (m->kind == ClusterKind::standard) {
                if (next.host_offset != next_host) break;
                next_host += q_->cluster_size;
            }
            *run += std::min(limit - *run, span);
        }
        return 0;
    }

    // Mapping at pos and the bytes from pos to the end of the region it
    // covers: the rest of the cluster, or the rest of the L2 range when the
    // L1 entry has no table.
    int lookup(uint64_t pos, ClusterMapping *m, uint64_t *span) {
        uint64_t l2_offset = l1_entry(q_, l1_index(q_, pos)) & kOffsetMask;
        if (l2_offset == 0) {
            *m = ClusterMapping{};
            *span = l2_coverage(q_) - (pos & (l2_coverage(q_) - 1));
            return 0;
        }
        *span = q_->cluster_size - offset_in_cluster(q_, pos);
        return map_guest_cluster(q_, pos, m, error_);
    }

    int serve(const ClusterMapping &m, char *dest, uint64_t run, uint64_t pos) {
        switch (m.kind) {
        case ClusterKind::zero:
            std::memset(dest, 0, run);
            return 0;
        case ClusterKind::unallocated:
            return read_unallocated(dest, run, pos);
        case ClusterKind::compressed:
            return read_compressed(m, dest, run, pos);
        case ClusterKind::standard:
            return read_standard(m, dest, run, pos);
        }
        return 0;
    }

    int read_unallocated(char *dest, uint64_t run, uint64_t pos) {
        if (q_->backing_file[0] == '\0') {
            std::memset(dest, 0, run);
            return 0;
        }
        if (backing_depth >= kMaxBackingDepth) return set_error(error_, kChainTooLong), -1;
        if (!backing_ && backing_.open(q_, error_) != 0) return -1;
        // Bytes past the end of a smaller backing image read as zeros; the
        // rest is filled by the backing read, so it is not cleared first.
        uint64_t backing_size = backing_.get()->size;
        uint64_t inside = pos < backing_size ? std::min(run, backing_size - pos) : 0;
        if (inside < run) std::memset(dest + inside, 0, run - inside);
        if (inside == 0) return 0;
        ++backing_depth;
        int n = qcow2_read(backing_.get(), dest, inside, pos, error_);
        --backing_depth;
        if (n < 0) return -1;
        if (static_cast<uint64_t>(n) < inside)
            std::memset(dest + n, 0, inside - static_cast<uint64_t>(n));
        return 0;
    }

    int read_standard(const ClusterMapping &m, char *dest, uint64_t run, uint64_t pos) {
        uint64_t in_cluster = offset_in_cluster(q_, pos);
        ssize_t n = oru::pread_full(q_->fd, dest, run, m.host_offset + in_cluster);
        if (n < 0) return set_error(error_, kReadFailed), -1;
        if (static_cast<uint64_t>(n) == run) return 0;
        // The file ends inside the run. The clusters of a run are contiguous
        // on the host: a cluster that starts inside the file reads as zeros
        // past its end (the rest was never written); one that starts at or
        // past the end has no data at all and fails the read.
        uint64_t file_end = m.host_offset + in_cluster + static_cast<uint64_t>(n);
        uint64_t cluster_start = m.host_offset;
        uint64_t covered = 0; // run bytes that belong to clusters starting in the file
        while (covered < run && cluster_start < file_end) {
            covered += q_->cluster_size - (covered == 0 ? in_cluster : 0);
            cluster_start += q_->cluster_size;
        }
        covered = std::min(covered, run);
        if (covered > static_cast<uint64_t>(n))
            std::memset(dest + n, 0, static_cast<size_t>(covered - static_cast<uint64_t>(n)));
        if (covered < run) return set_error(error_, kReadFailed), -1;
        return 0;
    }

    int read_compressed(const ClusterMapping &m, char *dest, uint64_t run, uint64_t pos) {
        size_t cluster_size = q_->cluster_size;
        std::unique_ptr<unsigned char[]> compressed(
            new (std::nothrow) unsigned char[m.compressed_length]);
        if (!inflated_) inflated_.reset(new (std::nothrow) unsigned char[cluster_size]);
        if (!compressed || !inflated_) return set_error(error_, kNoMemory), -1;
        ssize_t n = oru::pread_full(q_->fd, compressed.get(), m.compressed_length, m.host_offset);
        if (n <= 0) return set_error(error_, kReadFailed), -1;
        size_t produced = cluster_size;
        if (qcow2_decompress(compressed.get(), static_cast<size_t>(n), inflated_.get(), &produced,
                             error_) != 0)
            return -1;
        // A stream that ends early leaves the rest of the buffer unwritten.
        if (produced < cluster_size) return set_error(error_, kIncompleteCluster), -1;
        std::memcpy(dest, inflated_.get() + offset_in_cluster(q_, pos), run);
        return 0;
    }

    qcow2 *q_;
    char **error_;
    BackingImage backing_;
    std::unique_ptr<unsigned char[]> inflated_;
};

} // namespace

ORU_EXPORT int qcow2_read(qcow2 *q, void *dest, size_t len, uint64_t offset, char **error) {
    if (!q) return set_error(error, kNoImage), -1;
    if (offset >= q->size || len == 0) return 0;
    if (!dest) return set_error(error, kNoBuffer), -1;
    // The count is returned as an int; a longer request is served in part.
    len = static_cast<size_t>(std::min<uint64_t>({len, q->size - offset, INT_MAX}));
    try {
        GuestRead call(q, error);
        return call.read(static_cast<char *>(dest), len, offset);
    } catch (...) {
        return set_error(error, kNoMemory), -1;
    }
}
