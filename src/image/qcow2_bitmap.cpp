// Allocated-cluster bitmaps of qcow2 images: one character per cluster of the
// virtual disk, "1" where the image or any image below it in its backing
// chain has an L2 entry, so that an incremental backup copies those clusters.
//
// The whole chain is opened at once and walked window by window in guest
// address order: every layer marks the top image's clusters that its own
// allocated clusters overlap. Lining clusters up by guest address keeps the
// answer right when the layers differ in virtual size or cluster size, and
// no temporary file is written beside a backing image (read-only base
// directories and concurrent queries sharing a base both work).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/export.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

namespace {

using namespace oru::qcow2_engine;

const char kOpenFailed[] = "open file failed";
const char kCreateFailed[] = "create bitmap failed";
const char kChainTooLong[] = "backing chain is too long";

// Deeper chains are refused: every layer stays open during the walk, and a
// chain that names itself would otherwise never end.
constexpr size_t kMaxChainDepth = 256;
// Top-image clusters handled per window (one character each).
constexpr uint64_t kWindowClusters = uint64_t{1} << 20;
constexpr size_t kMergeBlock = 65536;

int fail(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
    return -1;
}

// a * b, or UINT64_MAX where that does not fit (guest ends near 2^64).
uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t cluster_count(const qcow2 *q) {
    return q->size / q->cluster_size + (q->size % q->cluster_size != 0);
}

// One image of the chain and the L2 table last read from it. Tables are read
// with pread rather than mapped: a walk touches every table once, and mapping
// and unmapping a cluster per table costs several times more than copying it.
struct Layer {
    qcow2 *image;
    std::vector<uint64_t> table; // big-endian entries
    uint64_t table_offset = 0;   // 0: nothing read yet
    // Guest bytes this layer can show: reads clip at every image's own size
    // on the way down, so a base shows nothing past a smaller image above it.
    uint64_t visible_size = 0;
};

// The images whose allocation shows through the top image, top first.
class Chain {
  public:
    explicit Chain(qcow2 *top) { layers_.push_back(Layer{top, {}, 0, top->size}); }

    // Opens every backing image below the top. 0, or -1 with *error set.
    int open_backing(char **error) {
        while (layers_.back().image->backing_file[0] != '\0') {
            if (layers_.size() >= kMaxChainDepth) return fail(error, kChainTooLong);
            auto backing = std::make_unique<BackingImage>();
            if (backing->open(layers_.back().image, error) == -1) return -1;
            const uint64_t above = layers_.back().visible_size;
            layers_.push_back(Layer{backing->get(), {}, 0, std::min(above, backing->get()->size)});
            backing_.push_back(std::move(backing));
        }
        return 0;
    }
    std::vector<Layer> &layers() { return layers_; }
    qcow2 *top() const { return layers_.front().image; }

  private:
    std::vector<Layer> layers_;
    std::vector<std::unique_ptr<BackingImage>> backing_;
};

// The L2 table at l2_offset, or nullptr when the file does not hold a whole,
// cluster-aligned table there.
const uint64_t *load_table(Layer &layer, uint64_t l2_offset) {
    qcow2 *q = layer.image;
    if (layer.table_offset == l2_offset) return layer.table.data();
    if (l2_offset % q->cluster_size != 0 || !file_covers(q, l2_offset, q->cluster_size))
        return nullptr;
    layer.table.resize(q->cluster_size / 8);
    layer.table_offset = 0;
    if (oru::pread_full(q->fd, layer.table.data(), q->cluster_size, l2_offset) !=
        static_cast<ssize_t>(q->cluster_size))
        return nullptr;
    layer.table_offset = l2_offset;
    return layer.table.data();
}

// Marks, in window (top clusters [first, first + count)), every top cluster
// that an allocated cluster of layer overlaps. 0, or -1 with *error set.
int mark_layer(Layer &layer, const qcow2 *top, uint64_t first, uint64_t count, char *window,
               char **error) {
    qcow2 *image = layer.image;
    const uint64_t top_cluster = top->cluster_size;
    const uint64_t guest_begin = first * top_cluster;
    // Past its visible size a layer shows nothing (reads see zeros there).
    const uint64_t guest_end =
        std::min({saturating_mul(first + count, top_cluster), top->size, layer.visible_size});
    if (guest_begin >= guest_end) return 0;
    const uint64_t cluster = image->cluster_size;
    const uint64_t per_table = cluster / 8;
    const uint64_t last = (guest_end - 1) / cluster; // last layer cluster in range
    uint64_t c = guest_begin / cluster;
    while (c <= last) {
        const uint64_t table_index = c / per_table;
        const uint64_t table_end = std::min((table_index + 1) * per_table, last + 1);
        if (table_index >= l1_entries(image)) break; // the L1 table covers no more
        const uint64_t l2_offset = l1_entry(image, table_index) & kOffsetMask;
        if (l2_offset == 0) {
            c = table_end;
            continue;
        }
        const uint64_t *table = load_table(layer, l2_offset);
        if (!table) return fail(error, kLoadL2Failed);
        for (; c < table_end; ++c) {
            // Any non-zero entry counts: standard, compressed or zero-flagged.
            if (table[c % per_table] == 0) continue;
            const uint64_t begin = std::max(c * cluster, guest_begin);
            const uint64_t end = std::min(saturating_mul(c + 1, cluster), guest_end);
            const uint64_t from = begin / top_cluster - first;
            const uint64_t to = (end - 1) / top_cluster - first;
            std::memset(window + from, '1', to - from + 1);
        }
    }
    return 0;
}

// Writes the bitmap file of the chain's top image at path.
int write_bitmap(Chain &chain, const char *path, char **error) {
    qcow2 *top = chain.top();
    oru::UniqueFd fd(open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return fail(error, kOpenFailed);
    char header[128];
    int n = std::snprintf(header, sizeof header, "size is :%llu\ncluster_size is :%llu\nbitmaps:",
                          static_cast<unsigned long long>(top->size),
                          static_cast<unsigned long long>(top->cluster_size));
    if (!oru::write_all(fd.get(), header, static_cast<size_t>(n)))
        return fail(error, kCreateFailed);
    const uint64_t clusters = cluster_count(top);
    std::unique_ptr<char[]> window(
        new (std::nothrow) char[std::min<uint64_t>(clusters, kWindowClusters) + 1]);
    if (!window) return fail(error, kNoMemory);
    for (uint64_t first = 0; first < clusters; first += kWindowClusters) {
        const uint64_t count = std::min(kWindowClusters, clusters - first);
        std::memset(window.get(), '0', count);
        for (Layer &layer : chain.layers())
            if (mark_layer(layer, top, first, count, window.get(), error) == -1) return -1;
        if (!oru::write_all(fd.get(), window.get(), count)) return fail(error, kCreateFailed);
    }
    if (close(fd.release()) != 0) return fail(error, kCreateFailed);
    return 0;
}

bool valid_image(const qcow2 *q) {
    return q && q->cluster_size >= 512;
}

int query(qcow2 *q, char *path, bool whole_chain, char **error) {
    if (!path || !valid_image(q)) return fail(error, kOpenFailed);
    try {
        Chain chain(q);
        if (whole_chain && chain.open_backing(error) == -1) return -1;
        return write_bitmap(chain, path, error);
    } catch (const std::bad_alloc &) {
        return fail(error, kNoMemory);
    }
}

// Reads up to length bytes at offset; the count, or -1 on a read error.
ssize_t read_block(int fd, char *data, size_t length, off_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, data + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool write_block(int fd, const char *data, size_t length, off_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

ORU_EXPORT int get_bitmap(qcow2 *q, char *path, char **error) {
    return query(q, path, false, error);
}

ORU_EXPORT int QueryAllocatedClusters(qcow2 *q, char *bitmappath, char **error) {
    return query(q, bitmappath, true, error);
}

// ORs the bytes of the file at path into the file at path1, position by
// position; path1 keeps its length. 0, or -1 when a file cannot be opened,
// read or written.
ORU_EXPORT int comfile(char *path, char *path1) {
    if (!path || !path1) return -1;
    oru::UniqueFd source(open(path, O_RDWR | O_CLOEXEC));
    if (source.get() < 0) return -1;
    oru::UniqueFd dest(open(path1, O_RDWR | O_CLOEXEC));
    if (dest.get() < 0) return -1;
    std::unique_ptr<char[]> in(new (std::nothrow) char[kMergeBlock]);
    std::unique_ptr<char[]> out(new (std::nothrow) char[kMergeBlock]);
    if (!in || !out) return -1;
    for (off_t position = 0;; position += static_cast<off_t>(kMergeBlock)) {
        ssize_t have = read_block(dest.get(), out.get(), kMergeBlock, position);
        if (have < 0) return -1;
        if (have == 0) break;
        ssize_t got = read_block(source.get(), in.get(), static_cast<size_t>(have), position);
        if (got < 0) return -1;
        for (ssize_t i = 0; i < got; ++i)
            out[i] = static_cast<char>(out[i] | in[i]);
        if (!write_block(dest.get(), out.get(), static_cast<size_t>(have), position)) return -1;
    }
    return close(dest.release()) == 0 ? 0 : -1;
}
