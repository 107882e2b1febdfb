// Sequential writes through qcow2_write beside `qemu-img bench -w` with the
// same request size and count, in the same run:
//   1. 32 MiB requests filling a fresh image,
//   2. the same requests again over the now allocated image,
//   3. 4 KiB requests into a fresh image.
// Both sides start from an image made by qcow2_create, time only the
// requests (open and the flush at close excluded, as qemu-img bench does),
// and print MiB/s, median of several runs.
//
//   qcow2_write_bench [size_mib=1024] [runs=3] [small_count=16384] [scratch_dir=$TMPDIR or /tmp]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qcow2.h"

namespace {

constexpr uint64_t kLarge = 32ULL << 20;
constexpr uint64_t kSmall = 4096;
constexpr uint32_t kClusterSize = 64 * 1024;

std::string quote(const std::string &s) { return "'" + s + "'"; }

std::string capture(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

void fresh_image(const std::string &path, uint64_t size) {
    std::string p = path;
    if (qcow2_create(p.data(), nullptr, kClusterSize, size) != 0) die("create " + path + " failed");
}

// MiB/s of `count` sequential writes of `request` bytes from offset 0.
double ours(const std::string &path, uint64_t request, uint64_t count) {
    // Each side starts without the other's dirty pages waiting for writeback.
    ::sync();
    std::vector<unsigned char> buffer(request, 0x5a);
    std::string p = path;
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(p.data(), &q, ORU_RW, &error) != 0) die("open " + path + ": " + error);
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        if (qcow2_write(q, buffer.data(), request, i * request, &error) != static_cast<int>(request))
            die("write " + path + ": " + error);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    qcow2_close(&q);
    return static_cast<double>(request * count) / (1 << 20) / seconds;
}

// MiB/s as qemu-img bench reports its own run time.
double qemu(const std::string &path, uint64_t request, uint64_t count) {
    ::sync();
    std::string out = capture("qemu-img bench -w -f qcow2 -t writeback -d 1 -c " +
                              std::to_string(count) + " -s " + std::to_string(request) + " " +
                              quote(path) + " 2>&1");
    size_t at = out.find("Run completed in ");
    if (at == std::string::npos) die("qemu-img bench: " + out);
    double seconds = std::strtod(out.c_str() + at + 17, nullptr);
    return static_cast<double>(request * count) / (1 << 20) / seconds;
}

} // namespace

int main(int argc, char **argv) {
    uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    uint64_t small_count = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 16384;
    const char *tmp = std::getenv("TMPDIR");
    std::string scratch = argc > 4 ? argv[4] : (tmp && *tmp ? tmp : "/tmp");
    size_mib = std::max<uint64_t>(32, size_mib / 32 * 32);
    const uint64_t size = size_mib << 20;
    const uint64_t large_count = size / kLarge;

    std::string dir = scratch + "/qcow2-write-bench-XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    const std::string mine = dir + "/ours.qcow2", peer = dir + "/qemu.qcow2";

    std::vector<double> fill_ours, fill_qemu, over_ours, over_qemu, small_ours, small_qemu;
    // Which side goes first alternates from run to run, so that neither
    // always meets the other's writeback.
    auto both = [](bool ours_first, auto &&mine_run, auto &&peer_run) {
        if (ours_first) {
            mine_run();
            peer_run();
        } else {
            peer_run();
            mine_run();
        }
    };
    for (int i = 0; i < runs; ++i) {
        bool first = i % 2 == 0;
        fresh_image(mine, size);
        fresh_image(peer, size);
        both(first, [&] { fill_ours.push_back(ours(mine, kLarge, large_count)); },
             [&] { fill_qemu.push_back(qemu(peer, kLarge, large_count)); });
        both(first, [&] { over_ours.push_back(ours(mine, kLarge, large_count)); },
             [&] { over_qemu.push_back(qemu(peer, kLarge, large_count)); });
        fresh_image(mine, size);
        fresh_image(peer, size);
        both(first, [&] { small_ours.push_back(ours(mine, kSmall, small_count)); },
             [&] { small_qemu.push_back(qemu(peer, kSmall, small_count)); });
    }
    std::printf("sequential writes, %llu MiB image, 64 KiB clusters, median of %d runs (MiB/s)\n",
                (unsigned long long)size_mib, runs);
    std::printf("%-46s %12s %14s\n", "workload", "qcow2_write", "qemu-img bench");
    std::printf("%-46s %12.0f %14.0f\n", ("32 MiB x " + std::to_string(large_count) + ", fresh image").c_str(),
                median(fill_ours), median(fill_qemu));
    std::printf("%-46s %12.0f %14.0f\n",
                ("32 MiB x " + std::to_string(large_count) + ", allocated image").c_str(),
                median(over_ours), median(over_qemu));
    std::printf("%-46s %12.1f %14.1f\n", ("4 KiB x " + std::to_string(small_count) + ", fresh image").c_str(),
                median(small_ours), median(small_qemu));
    std::system(("rm -rf " + quote(dir)).c_str());
    return 0;
}
