// Fuzz target: qemu's persistent dirty bitmaps in a qcow2 image (the
// bitmaps header extension, the bitmap directory, the bitmap tables and
// their data clusters) on arbitrary image bytes, read and then marked as a
// write through the library marks them; and the directory parser alone on
// the raw input.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "image/qcow2_dirty_bitmap.h"
#include "qcow2.h"
#include "scratch.h"

namespace {

// A hostile header may claim an exabyte disk: each query looks at a window.
constexpr uint64_t kWindow = 64ULL << 20;
constexpr uint32_t kMaxListed = 8;

struct Runs {
    uint64_t next = 0;
    uint64_t end = 0;
    int calls = 0;
};

// The walk must report ascending, non-empty runs inside the window.
int receive(void *opaque, uint64_t offset, uint64_t length, int) {
    auto *runs = static_cast<Runs *>(opaque);
    if (length == 0 || offset < runs->next || offset + length > runs->end) std::abort();
    runs->next = offset + length;
    return ++runs->calls >= 1000 ? 1 : 0;
}

void query(qcow2 *q, const char *name, uint64_t offset) {
    if (q->size == 0) return;
    offset %= q->size;
    Runs runs;
    runs.next = offset;
    runs.end = std::min(q->size, offset + kWindow);
    char *error = nullptr;
    qcow2_dirty_extents(q, name, offset, kWindow, receive, &runs, &error);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    oru::fuzz::scratch_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint64_t h = oru::fuzz::input_hash(data, size);
    std::vector<oru::qcow2_engine::DirtyBitmap> parsed;
    oru::qcow2_engine::parse_bitmap_directory(data, size, 1 + h % 4, 1ULL << 30, 16, 1ULL << 40,
                                              &parsed);

    std::string path = oru::fuzz::write_image("image.qcow2", data, size);
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(path.data(), &q, ORU_RO, &error) != 0) return 0;
    qcow2_has_dirty_bitmaps(q);
    std::vector<oruDiskLibBitmapInfo> listed(kMaxListed);
    uint32_t count = 0;
    if (qcow2_list_dirty_bitmaps(q, listed.data(), kMaxListed, &count, &error) == 0) {
        for (uint32_t i = 0; i < std::min(count, kMaxListed); ++i) {
            query(q, listed[i].name, 0);
            query(q, listed[i].name, h >> 7);
        }
    }
    query(q, "absent", 0);
    const uint64_t disk = q->size;
    qcow2_close(&q);
    // Marking allocates up to two clusters per enabled bitmap: only images
    // with a few bitmaps are marked, so the scratch file stays small.
    if (count > kMaxListed || disk == 0) return 0;
    if (qcow2_open(path.data(), &q, ORU_RW, &error) != 0) return 0;
    qcow2_prepare_change(q, (h >> 3) % disk, 4096 + h % 65536, &error);
    qcow2_close(&q);
    return 0;
}
