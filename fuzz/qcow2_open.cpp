// Fuzz target: qcow2 header checks, table mappings and the L1/L2 walk of
// reads (standard, zero, compressed and unallocated clusters, backing
// chains) on arbitrary image bytes.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "scratch.h"

namespace {

// Reads stay short: a hostile header may claim an exabyte disk.
constexpr size_t kMaxRead = 64 * 1024;
constexpr int kRandomReads = 3;
constexpr uint64_t kL1EntriesVisited = 4;
// An L1 table may claim 2^32 entries; the scan for used ones stops here.
constexpr uint64_t kL1EntriesScanned = 1 << 16;

void read_at(qcow2 *q, std::vector<uint8_t> &buffer, uint64_t offset, size_t length) {
    char *error = nullptr;
    if (q->size == 0) return;
    offset %= q->size;
    length = std::min<uint64_t>(length % kMaxRead + 1, q->size - offset);
    qcow2_read(q, buffer.data(), length, offset, &error);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    oru::fuzz::scratch_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string path = oru::fuzz::write_image("image.qcow2", data, size);
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(path.data(), &q, ORU_RO, &error) != 0) return 0;

    std::vector<uint8_t> buffer(kMaxRead);
    uint64_t h = oru::fuzz::input_hash(data, size);
    read_at(q, buffer, 0, kMaxRead - 1);
    read_at(q, buffer, q->size - 1, h);
    for (int i = 0; i < kRandomReads; ++i) {
        h = h * 6364136223846793005ULL + 1442695040888963407ULL;
        read_at(q, buffer, h >> 11, h);
    }
    // Guest ranges behind the first few L2 tables: random offsets in a big
    // disk almost never meet an allocated cluster.
    using namespace oru::qcow2_engine;
    uint64_t visited = 0;
    const uint64_t in_file = q->file_size_seen > q->l1_table_offset
                                 ? (q->file_size_seen - q->l1_table_offset) / 8
                                 : 0;
    const uint64_t scanned = std::min({l1_entries(q), in_file, kL1EntriesScanned});
    for (uint64_t i = 0; i < scanned && visited < kL1EntriesVisited; ++i) {
        if (l1_entry(q, i) == 0) continue;
        ++visited;
        h = h * 6364136223846793005ULL + 1442695040888963407ULL;
        read_at(q, buffer, i * l2_coverage(q) + (h >> 20) % l2_coverage(q), h);
    }
    qcow2_close(&q);
    return 0;
}
