// Creation of empty qcow2 images: header, refcount table, first refcount
// block and an empty L1 table. Every later allocation appends after this
// layout, so its exact shape (and the odd file length that makes the first
// allocation skip the partly filled L1 cluster) matters.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/export.h"
#include "qcow2.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

namespace {

constexpr uint32_t kMagic = 0x514649FB;
constexpr uint32_t kVersion = 3;
constexpr uint64_t kBackingNameOffset = 264;
// The name is read back into a 1024-byte field that must stay terminated.
constexpr size_t kMaxBackingName = 1023;
constexpr uint32_t kHeaderLength = 104;
constexpr uint32_t kRefcountOrder = 4; // 16-bit counts
// Readers refuse larger L1 tables (32 MiB), so such an image would be useless.
constexpr uint64_t kMaxL1Entries = 32u * 1024 * 1024 / 8;

// Bits of the supported cluster sizes, 64 KiB to 2 MiB; 0 for any other size.
uint32_t cluster_bits_of(uint32_t cluster_size) {
    for (uint32_t bits = 16; bits <= 21; ++bits)
        if (cluster_size == (1u << bits)) return bits;
    return 0;
}

// How far the file reaches into the last L1 cluster.
uint64_t tail_bytes(uint32_t cluster_bits) {
    return cluster_bits == 16 ? 16 : 8;
}

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

bool write_all(int fd, const std::vector<uint8_t> &bytes, uint64_t offset) {
    return oru::pwrite_all(fd, bytes.data(), bytes.size(), offset);
}

// The geometry of a new image, worked out before the file is touched.
struct Layout {
    uint32_t cluster_bits = 0;
    uint64_t cluster_size = 0;
    uint64_t l1_entries = 0;
    uint64_t l1_clusters = 1; // clusters reserved for the L1 table, from cluster 3 on
    size_t backing_length = 0;

    uint64_t file_length() const {
        return (2 + l1_clusters) * cluster_size + tail_bytes(cluster_bits);
    }
    uint64_t clusters_in_use() const { return 3 + l1_clusters; }
};

bool plan(const char *backing_file, uint32_t cluster_size, uint64_t size, Layout *layout) {
    layout->cluster_bits = cluster_bits_of(cluster_size);
    if (layout->cluster_bits == 0) return false;
    layout->cluster_size = cluster_size;
    if (size > static_cast<uint64_t>(INT64_MAX)) return false;
    uint64_t span = layout->cluster_size * (layout->cluster_size / 8); // bytes one L1 entry covers
    layout->l1_entries = size / span + (size % span != 0);
    if (layout->l1_entries > kMaxL1Entries) return false;
    // An L1 table longer than one cluster gets all the clusters it needs, so
    // that the first allocation cannot land inside it.
    uint64_t l1_bytes = layout->l1_entries * 8;
    layout->l1_clusters = l1_bytes <= layout->cluster_size
                              ? 1
                              : (l1_bytes + layout->cluster_size - 1) / layout->cluster_size;
    if (backing_file) {
        layout->backing_length = strnlen(backing_file, kMaxBackingName + 1);
        if (layout->backing_length > kMaxBackingName) return false;
    }
    return true;
}

std::vector<uint8_t> header_bytes(const Layout &layout, const char *backing_file, uint64_t size) {
    std::vector<uint8_t> h(kBackingNameOffset + layout.backing_length, 0);
    put32(h, 0, kMagic);
    put32(h, 4, kVersion);
    if (layout.backing_length > 0) {
        std::memcpy(h.data() + kBackingNameOffset, backing_file, layout.backing_length);
        put64(h, 8, kBackingNameOffset);
        put32(h, 16, static_cast<uint32_t>(layout.backing_length));
    }
    put32(h, 20, layout.cluster_bits);
    put64(h, 24, size);
    put32(h, 36, static_cast<uint32_t>(layout.l1_entries));
    put64(h, 40, 3 * layout.cluster_size);
    put64(h, 48, layout.cluster_size);
    put32(h, 56, 1);
    put32(h, 96, kRefcountOrder);
    put32(h, 100, kHeaderLength);
    return h;
}

} // namespace

// Refuses (before touching any file) cluster sizes other than 64 KiB..2 MiB,
// backing names longer than 1023 bytes and sizes whose L1 table no reader
// accepts. The metadata is written with positioned writes rather than through
// a mapping: on a full file system a store into a mapped hole would kill the
// process instead of failing the call.
ORU_EXPORT int qcow2_create(char *path, char *backing_file, uint32_t cluster_size, uint64_t size) {
    if (!path) return -1;
    Layout layout;
    if (!plan(backing_file, cluster_size, size, &layout)) return -1;

    oru::UniqueFd fd(open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return -1;
    if (ftruncate(fd.get(), static_cast<off_t>(layout.file_length())) != 0) return -1;

    if (!write_all(fd.get(), header_bytes(layout, backing_file, size), 0)) return -1;

    std::vector<uint8_t> table_entry(8, 0);
    put64(table_entry, 0, 2 * layout.cluster_size);
    if (!write_all(fd.get(), table_entry, layout.cluster_size)) return -1;

    // Clusters 0 to 2 and every L1 cluster are in use.
    std::vector<uint8_t> counts(layout.clusters_in_use() * 2, 0);
    for (uint64_t c = 0; c < layout.clusters_in_use(); ++c)
        put16(counts, c * 2, 1);
    if (!write_all(fd.get(), counts, 2 * layout.cluster_size)) return -1;

    // A creation that returns 0 leaves an image that survives a power cut.
    if (fdatasync(fd.get()) != 0) return -1;
    return close(fd.release());
}
