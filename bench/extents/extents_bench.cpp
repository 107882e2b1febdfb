// oruDiskLib_QueryExtents over a whole thin qcow2 chain beside
// `qemu-img map --output=json` on the same image.
//
//   bench_extents [directory] [size in GiB, default 3072]
//
// Two images of the same size over a base of a third of it: "sparse" holds
// a few scattered clusters; "tabled" has one cluster in every L2 table, so
// every table is loaded.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "oruDiskLib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned long long kCluster = 65536, kTableSpan = kCluster * (kCluster / 8);

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void shell(const std::string &command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// Writes one cluster at each offset with qemu-io.
void write_clusters(const std::string &image, const std::vector<unsigned long long> &offsets,
                    const std::string &script) {
    FILE *io = std::fopen(script.c_str(), "w");
    for (unsigned long long at : offsets)
        std::fprintf(io, "write -q -P 0x42 %llu %llu\n", at, kCluster);
    std::fclose(io);
    shell("qemu-io -t unsafe -f qcow2 '" + image + "' < '" + script + "' > /dev/null");
}

// Open, the whole map in calls of 4096 extents, close.
double time_query(const std::string &path, size_t *extents, unsigned long long *data_sectors) {
    std::string p = path;
    oruDiskLibVolume volume{};
    volume.diskPath = p.data();
    volume.diskFormat = ORU_QCOW;
    oruDiskLibHandle handle = nullptr;
    oruDiskLib_Init(&handle);
    std::vector<oruDiskLibExtent> batch(4096);
    *extents = 0;
    *data_sectors = 0;
    auto start = Clock::now();
    if (oruDiskLib_Open(&volume, ORU_RO, nullptr, false, handle, nullptr) != ORU_OK) std::exit(1);
    for (oruDiskLibSectorType next = 0;;) {
        uint32_t n = 0;
        if (oruDiskLib_QueryExtents(handle, &volume, next, UINT64_MAX, batch.data(), 4096, &n) !=
            ORU_OK) {
            std::fprintf(stderr, "query failed: %s\n", oruDiskLib_GetErrorText(ORU_E_QCOW_READ));
            std::exit(1);
        }
        if (n == 0) break;
        for (uint32_t i = 0; i < n; ++i)
            if (batch[i].flags == ORU_EXTENT_DATA) *data_sectors += batch[i].count;
        *extents += n;
        next = batch[n - 1].start + batch[n - 1].count;
    }
    oruDiskLib_Close(handle, &volume);
    double elapsed = seconds_since(start);
    oruDiskLib_Finalize(&handle);
    return elapsed;
}

} // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const unsigned long long gib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 3072;
    const unsigned long long size = gib << 30;
    const std::string stem = dir + "/bench-extents-" + std::to_string(getpid());
    const std::string base = stem + "-base.qcow2", script = stem + ".io";

    auto prep = Clock::now();
    shell("qemu-img create -q -f qcow2 '" + base + "' " + std::to_string(size / 3));
    write_clusters(base, {size / 7, size / 5, size / 4}, script);
    std::vector<std::string> images;
    for (const char *name : {"sparse", "tabled"}) {
        const std::string image = stem + "-" + name + ".qcow2";
        shell("qemu-img create -q -f qcow2 -b '" + base + "' -F qcow2 '" + image + "' " +
              std::to_string(size));
        std::vector<unsigned long long> offsets;
        const unsigned long long step = name[0] == 's' ? size / 64 : kTableSpan;
        for (unsigned long long at = 0; at < size; at += step)
            offsets.push_back(at + (at / kTableSpan % 97) * kCluster);
        write_clusters(image, offsets, script);
        images.push_back(image);
    }
    std::printf("prepared %llu GiB chains in %.1f s\n", gib, seconds_since(prep));

    for (const std::string &image : images) {
        for (int round = 0; round < 2; ++round) {
            size_t extents = 0;
            unsigned long long data = 0;
            const double ours = time_query(image, &extents, &data);
            auto start = Clock::now();
            shell("qemu-img map --output=json '" + image + "' > /dev/null");
            const double peer = seconds_since(start);
            std::printf("%s: oruDiskLib extents %.3f s (%zu extents, %llu MiB data) | "
                        "qemu-img map %.3f s\n",
                        image.substr(stem.size() + 1).c_str(), ours, extents, data >> 11, peer);
        }
    }
    for (const std::string &f : {base, script, images[0], images[1]})
        unlink(f.c_str());
    return 0;
}
