// Sequential reads of a fully allocated qcow2 image (and of an empty overlay
// over it) in 32 MiB requests through qcow2_read, beside `qemu-img bench` on
// the same images in the same run. Prints MiB/s, median of several runs.
//
//   qcow2_read_bench [size_mib=1024] [runs=5] [scratch_dir=$TMPDIR or /tmp]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qcow2.h"

namespace {

constexpr uint64_t kRequest = 32ULL << 20;

std::string quote(const std::string &s) { return "'" + s + "'"; }

bool shell(const std::string &command) { return std::system(command.c_str()) == 0; }

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

// MiB/s of reading the whole image through the engine, open and close included.
double ours(const std::string &path, uint64_t size) {
    std::vector<char> buffer(kRequest);
    std::string p = path;
    auto start = std::chrono::steady_clock::now();
    qcow2 *q = nullptr;
    char *error = nullptr;
    if (qcow2_open(p.data(), &q, ORU_RO, &error) != 0) {
        std::fprintf(stderr, "open %s: %s\n", path.c_str(), error);
        std::exit(1);
    }
    for (uint64_t at = 0; at < size; at += kRequest) {
        if (qcow2_read(q, buffer.data(), kRequest, at, &error) != static_cast<int>(kRequest)) {
            std::fprintf(stderr, "read %s at %llu: %s\n", path.c_str(), (unsigned long long)at, error);
            std::exit(1);
        }
    }
    qcow2_close(&q);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(size >> 20) / seconds;
}

// MiB/s as qemu-img bench reports its own run time.
double qemu(const std::string &path, uint64_t size) {
    std::string out = capture("qemu-img bench -f qcow2 -t writeback -d 1 -c " +
                              std::to_string(size / kRequest) + " -s 32M " + quote(path) + " 2>&1");
    size_t at = out.find("Run completed in ");
    if (at == std::string::npos) {
        std::fprintf(stderr, "qemu-img bench: %s\n", out.c_str());
        std::exit(1);
    }
    double seconds = std::strtod(out.c_str() + at + 17, nullptr);
    return static_cast<double>(size >> 20) / seconds;
}

} // namespace

int main(int argc, char **argv) {
    uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const char *tmp = std::getenv("TMPDIR");
    std::string scratch = argc > 3 ? argv[3] : (tmp && *tmp ? tmp : "/tmp");
    size_mib = std::max<uint64_t>(32, size_mib / 32 * 32);
    uint64_t size = size_mib << 20;

    std::string dir = scratch + "/qcow2-read-bench-XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    std::string base = dir + "/base.qcow2", overlay = dir + "/overlay.qcow2";
    std::string sz = std::to_string(size_mib) + "M";
    bool made = shell("qemu-img create -q -f qcow2 " + quote(base) + " " + sz) &&
                shell("qemu-io -f qcow2 -c 'write -q -P 0x5a 0 " + sz + "' " + quote(base)) &&
                shell("qemu-img create -q -f qcow2 -b " + quote(base) + " -F qcow2 " + quote(overlay) + " " + sz) &&
                shell("cat " + quote(base) + " " + quote(overlay) + " > /dev/null");
    if (made) {
        std::printf("sequential 32 MiB reads of %llu MiB, median of %d runs (MiB/s)\n",
                    (unsigned long long)size_mib, runs);
        std::printf("%-34s %12s %14s\n", "image", "qcow2_read", "qemu-img bench");
        for (const std::string &image : {base, overlay}) {
            std::vector<double> mine, peer;
            for (int i = 0; i < runs; ++i) {
                mine.push_back(ours(image, size));
                peer.push_back(qemu(image, size));
            }
            std::printf("%-34s %12.0f %14.0f\n",
                        image == base ? "fully allocated" : "empty overlay over allocated base",
                        median(mine), median(peer));
        }
    }
    shell("rm -rf " + quote(dir));
    return made ? 0 : 1;
}
