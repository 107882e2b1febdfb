// Allocation bitmaps of a large sparse qcow2 image (and of a sparse raw file
// of the same size) beside `qemu-img map --output=json` on the same file.
//
//   bench_bitmap [directory] [size in GiB, default 1024] [cluster bytes, default 65536]
//
// The qcow2 image gets one allocated cluster in every L2 table (so the walk
// loads every table) plus a contiguous 256 MiB run.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "oruDiskLib.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

double time_shell(const std::string &command) {
    auto start = Clock::now();
    if (!shell(command)) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds_since(start);
}

// Open, query, close: what a backup caller pays for one bitmap.
double time_query(const std::string &path, int format, size_t *ones, size_t *chars) {
    oruDiskLibVolume volume{};
    std::string p = path;
    volume.diskPath = p.data();
    volume.diskFormat = format;
    oruDiskLibHandle handle = nullptr;
    oruDiskLib_Init(&handle);
    auto start = Clock::now();
    if (oruDiskLib_Open(&volume, ORU_RO, nullptr, false, handle, nullptr) != ORU_OK ||
        oruDiskLib_QueryAllocatedClusters(handle, &volume) != ORU_OK) {
        std::fprintf(stderr, "bitmap failed: %s / %s\n", oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP),
                     oruDiskLib_GetErrorText(ORU_E_RAW_BITMAP));
        std::exit(1);
    }
    oruDiskLib_Close(handle, &volume);
    double elapsed = seconds_since(start);
    oruDiskLib_Finalize(&handle);
    // The characters follow the header's last colon.
    std::string text;
    if (FILE *f = std::fopen((path + ".b").c_str(), "rb")) {
        char block[65536];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, f)) > 0)
            text.append(block, n);
        std::fclose(f);
    }
    const size_t body = text.rfind(':') + 1;
    *chars = text.size() - body;
    *ones = 0;
    for (size_t i = body; i < text.size(); ++i)
        *ones += text[i] == '1';
    return elapsed;
}

} // namespace

int main(int argc, char **argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    unsigned long long gib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    unsigned long long cluster = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 65536;
    const unsigned long long size = gib << 30;
    const unsigned long long table_span = cluster * (cluster / 8);
    std::string qcow = dir + "/bench-bitmap-" + std::to_string(getpid()) + ".qcow2";
    std::string raw = dir + "/bench-bitmap-" + std::to_string(getpid()) + ".raw";

    auto prep = Clock::now();
    shell("qemu-img create -q -f qcow2 -o cluster_size=" + std::to_string(cluster) + " '" + qcow +
          "' " + std::to_string(size));
    std::string script = dir + "/bench-bitmap-" + std::to_string(getpid()) + ".io";
    FILE *io = std::fopen(script.c_str(), "w");
    for (unsigned long long at = 0; at < size; at += table_span)
        std::fprintf(io, "write -q -P 0x42 %llu %llu\n", at + (at / table_span % 97) * cluster,
                     cluster);
    std::fprintf(io, "write -q -P 0x43 %llu %llu\n", size / 2, 256ULL << 20);
    std::fclose(io);
    shell("qemu-io -f qcow2 '" + qcow + "' < '" + script + "' > /dev/null");
    shell("truncate -s " + std::to_string(size) + " '" + raw + "'");
    shell("qemu-io -f raw '" + raw + "' < '" + script + "' > /dev/null");
    std::printf("prepared %llu GiB images, cluster %llu, in %.1f s\n", gib, cluster,
                seconds_since(prep));

    size_t ones = 0, chars = 0;
    for (int round = 0; round < 2; ++round) {
        double ours = time_query(qcow, ORU_QCOW, &ones, &chars);
        double peer = time_shell("qemu-img map --output=json '" + qcow + "' > /dev/null");
        std::printf("qcow2 %llu GiB: oruDiskLib bitmap %.3f s (%zu clusters, %zu allocated) | "
                    "qemu-img map %.3f s\n",
                    gib, ours, chars, ones, peer);
    }
    for (int round = 0; round < 2; ++round) {
        double ours = time_query(raw, ORU_RAW, &ones, &chars);
        double peer = time_shell("qemu-img map -f raw --output=json '" + raw + "' > /dev/null");
        std::printf("raw   %llu GiB: oruDiskLib bitmap %.3f s (%zu granules, %zu allocated) | "
                    "qemu-img map %.3f s\n",
                    gib, ours, chars, ones, peer);
    }
    for (const std::string &f : {qcow, qcow + ".b", raw, raw + ".b", script})
        unlink(f.c_str());
    return 0;
}
