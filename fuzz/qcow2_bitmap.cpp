// Fuzz target: the allocated-cluster bitmap walk (a single image, then the
// whole backing chain) on arbitrary image bytes.
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qcow2.h"
#include "scratch.h"

namespace {

// One character per cluster: a hostile header may claim an exabyte disk,
// whose honest bitmap would fill the scratch file system.
constexpr uint64_t kMaxClusters = 1 << 16;
// "size is :<n>\ncluster_size is :<n>\nbitmaps:" is at most this long.
constexpr uint64_t kMaxHeaderText = 128;

void check_length(const std::string &path, uint64_t clusters) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    uint64_t length = static_cast<uint64_t>(st.st_size);
    if (length < clusters || length > clusters + kMaxHeaderText) {
        std::fprintf(stderr, "bitmap of %llu clusters is %llu bytes long\n",
                     static_cast<unsigned long long>(clusters), static_cast<unsigned long long>(length));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    oru::fuzz::scratch_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string path = oru::fuzz::write_image("image.qcow2", data, size);
    std::string bitmap = path + ".b";
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(path.data(), &q, ORU_RO, &error) != 0) return 0;
    uint64_t clusters = q->size / q->cluster_size + (q->size % q->cluster_size != 0);
    if (clusters <= kMaxClusters) {
        std::remove(bitmap.c_str());
        if (get_bitmap(q, bitmap.data(), &error) == 0) check_length(bitmap, clusters);
        std::remove(bitmap.c_str());
        if (QueryAllocatedClusters(q, bitmap.data(), &error) == 0) check_length(bitmap, clusters);
    }
    qcow2_close(&q);
    return 0;
}
