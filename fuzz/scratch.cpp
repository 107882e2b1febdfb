#include "scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "qcow2.h"
#include "util/unique_fd.h"

namespace oru::fuzz {

namespace {

constexpr uint64_t kBaseSize = 1 << 20;
constexpr uint32_t kBaseCluster = 65536; // the smallest cluster creation offers

// Header fields that locate the backing name.
constexpr size_t kBackingOffsetAt = 8;
constexpr size_t kBackingSizeAt = 16;

std::string created_dir;

void remove_scratch() {
    if (created_dir.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(created_dir, ignored);
}

uint64_t be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// A 1 MiB image with a recognisable pattern in its first and last clusters
// and nothing in between, so that reads through it meet data and holes.
void make_base(const std::string &path) {
    if (qcow2_create(const_cast<char *>(path.c_str()), nullptr, kBaseCluster, kBaseSize) != 0) {
        std::fprintf(stderr, "fuzz: cannot create %s\n", path.c_str());
        std::abort();
    }
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(const_cast<char *>(path.c_str()), &q, ORU_RW, &error) != 0) {
        std::fprintf(stderr, "fuzz: cannot open %s: %s\n", path.c_str(), error ? error : "");
        std::abort();
    }
    std::vector<uint8_t> data(2 * kBaseCluster);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    qcow2_write(q, data.data(), data.size(), 0, &error);
    qcow2_write(q, data.data(), kBaseCluster, kBaseSize - kBaseCluster, &error);
    qcow2_close(&q);
}

} // namespace

const std::string &scratch_dir() {
    if (!created_dir.empty()) return created_dir;
    // A run that ends in a crash or timeout leaves its directory behind;
    // scripts/fuzz points ORU_FUZZ_SCRATCH at a parent it removes itself.
    const char *parent = std::getenv("ORU_FUZZ_SCRATCH");
    std::string pattern = std::string(parent && *parent ? parent : "/dev/shm") + "/oru-fuzz-XXXXXX";
    char *dir = mkdtemp(pattern.data());
    if (!dir || chdir(dir) != 0) {
        std::perror("fuzz: scratch directory under /dev/shm");
        std::abort();
    }
    created_dir = dir;
    std::atexit(remove_scratch);
    make_base(created_dir + "/base.qcow2");
    return created_dir;
}

std::string write_image(const char *name, const uint8_t *data, size_t size) {
    std::string path = scratch_dir() + "/" + name;
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= kBackingSizeAt + 4) {
        uint64_t offset = be64(bytes.data() + kBackingOffsetAt);
        uint64_t length = be32(bytes.data() + kBackingSizeAt);
        for (uint64_t i = offset; offset < size && i < size && i - offset < length; ++i)
            if (bytes[i] == '/') bytes[i] = '_';
    }
    oru::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    size_t done = 0;
    while (fd && done < bytes.size()) {
        ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (!fd || done != bytes.size()) {
        std::perror("fuzz: writing the input image");
        std::abort();
    }
    return path;
}

uint64_t input_hash(const uint8_t *data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

} // namespace oru::fuzz
