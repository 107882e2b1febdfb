// qcow2 extents: which guest bytes read as zeros, walked through the L1 and
// L2 tables of every layer of the backing chain.
//
// The cost follows the metadata, not the virtual size: an L1 entry without
// an L2 table hands its whole range to the layer below at once (and past the
// bottom of the chain, or past the end of a smaller backing image, the range
// reads as zeros), and neighbouring L2 entries of one kind go out as one run.
// Each backing image is opened once per walk and closed when it ends.
#include <algorithm>
#include <memory>
#include <vector>

#include "image/qcow2_internal.h"
#include "qcow2.h"

namespace {

using namespace oru::qcow2_engine;

constexpr char kChainTooLong[] = "backing file chain is too long";

// First guest byte covered by L1 entry `index`; saturates past 2^64.
uint64_t range_start(const qcow2 *q, uint64_t index) {
    return index > (UINT64_MAX >> q->l1_shift) ? UINT64_MAX : index << q->l1_shift;
}

// What an L2 entry means for the extents of the image that holds it.
enum class Run { data, zero, below };

Run classify(const qcow2 *q, uint64_t entry) {
    switch (decode_l2_entry(q, entry).kind) {
    case ClusterKind::standard:
    case ClusterKind::compressed:
        return Run::data;
    case ClusterKind::zero:
        return Run::zero;
    case ClusterKind::unallocated:
        break;
    }
    return Run::below;
}

// One walk. Every step answers 1 when the receiver has enough, 0 to go on,
// -1 on failure with *error set.
class ChainWalk {
  public:
    ChainWalk(oru_extent_fn fn, void *opaque, char **error)
        : fn_(fn), opaque_(opaque), error_(error) {}

    // Guest bytes [start, end) of q, the image at `depth` in the chain.
    int walk(qcow2 *q, int depth, uint64_t start, uint64_t end) {
        uint64_t pos = start;
        while (pos < end) {
            const uint64_t l1 = l1_index(q, pos);
            const uint64_t l2_offset = l1_entry(q, l1) & kOffsetMask;
            if (l2_offset != 0) {
                const uint64_t range_end = std::min(end, range_start(q, l1 + 1));
                if (int rc = walk_table(q, depth, l2_offset, pos, range_end); rc != 0) return rc;
                pos = range_end;
                continue;
            }
            // Every L1 entry without a table up to the next one that has
            // one goes below in one piece (past the L1 table: the rest).
            uint64_t next = l1 + 1;
            while (next < l1_entries(q) && range_start(q, next) < end &&
                   (l1_entry(q, next) & kOffsetMask) == 0)
                ++next;
            const uint64_t range_end =
                next >= l1_entries(q) ? end : std::min(end, range_start(q, next));
            if (int rc = below(q, depth, pos, range_end); rc != 0) return rc;
            pos = range_end;
        }
        return 0;
    }

  private:
    // [start, end) lies inside the range of the L2 table at l2_offset.
    int walk_table(qcow2 *q, int depth, uint64_t l2_offset, uint64_t start, uint64_t end) {
        // Cache slot 0 belongs to this record alone, and the layers below
        // are records of their own: the mapping outlives the recursion.
        const auto *table = static_cast<const uint64_t *>(load_cluster(q, l2_offset, 0));
        if (!table) return fail(kLoadL2Failed);
        uint64_t pos = start;
        while (pos < end) {
            const uint64_t index = l2_index(q, pos);
            const Run kind = classify(q, be64tohp(table + index));
            uint64_t run_end = (pos | (q->cluster_size - 1)) + 1;
            for (uint64_t next = index + 1; run_end < end; ++next, run_end += q->cluster_size)
                if (classify(q, be64tohp(table + next)) != kind) break;
            run_end = std::min(run_end, end);
            int rc = kind == Run::below ? below(q, depth, pos, run_end)
                                        : emit(pos, run_end, kind == Run::zero);
            if (rc != 0) return rc;
            pos = run_end;
        }
        return 0;
    }

    // Guest bytes [start, end) that q leaves to its backing image.
    int below(qcow2 *q, int depth, uint64_t start, uint64_t end) {
        if (q->backing_file[0] == '\0') return emit(start, end, true);
        qcow2 *backing = nullptr;
        if (int rc = open_backing(q, depth + 1, &backing); rc != 0) return rc;
        // A smaller backing image shows nothing past its end: zeros there.
        const uint64_t inside = std::clamp(backing->size, start, end);
        if (start < inside) {
            if (int rc = walk(backing, depth + 1, start, inside); rc != 0) return rc;
        }
        return inside < end ? emit(inside, end, true) : 0;
    }

    int open_backing(qcow2 *q, int depth, qcow2 **backing) {
        if (depth >= kMaxBackingDepth) return fail(kChainTooLong);
        if (layers_.size() < static_cast<size_t>(depth)) layers_.resize(depth);
        std::unique_ptr<BackingImage> &layer = layers_[depth - 1];
        if (!layer) {
            layer = std::make_unique<BackingImage>();
            if (layer->open(q, error_) != 0) {
                layer.reset();
                return -1;
            }
        }
        *backing = layer->get();
        return 0;
    }

    int emit(uint64_t start, uint64_t end, bool zero) {
        return fn_(opaque_, start, end - start, zero ? 1 : 0) != 0 ? 1 : 0;
    }

    int fail(const char *text) {
        if (error_) *error_ = const_cast<char *>(text);
        return -1;
    }

    oru_extent_fn fn_;
    void *opaque_;
    char **error_;
    std::vector<std::unique_ptr<BackingImage>> layers_; // [d - 1]: the image at depth d
};

} // namespace

int qcow2_extents(qcow2 *q, uint64_t offset, uint64_t length, oru_extent_fn fn, void *opaque,
                  char **error) {
    if (!q || !fn) {
        if (error) *error = const_cast<char *>(kNoImage);
        return -1;
    }
    if (offset >= q->size) return 0;
    const uint64_t end = offset + std::min(length, q->size - offset);
    try {
        ChainWalk walk(fn, opaque, error);
        return walk.walk(q, 0, offset, end) < 0 ? -1 : 0;
    } catch (...) {
        if (error) *error = const_cast<char *>(kNoMemory);
        return -1;
    }
}
