// Sequential reads of a whole LUN in 32 MiB requests (65,536 sectors, the
// largest transfer a caller may ask for) through oruDiskLib_Read on a
// "lanfree" volume, beside libiscsi's iscsi-perf and qemu-img convert from
// the same iscsi:// LUN, in the same run. Prints MiB/s, median of the runs.
//
// The program enters a private network namespace of its own (it needs root)
// and runs its own tgtd there on 127.0.0.7:3260 with a file-backed LUN of
// 512-byte blocks; the backing file stays in the page cache, so the figures
// measure the initiators and the target, not the disk.
//
//   iscsi_read_bench [size_mib=1024] [runs=5] [scratch_dir=$TMPDIR or /tmp]
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/handle.h"
#include "oruDiskLib.h"
#include "tgt_target.h"

namespace {

constexpr char kPortal[] = "127.0.0.7";
constexpr char kIqn[] = "iqn.2024-01.bench.oru:read";
constexpr char kInitiator[] = "iqn.2024-01.bench.oru:initiator";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kRequestSectors = 65536;
constexpr uint64_t kRequestBytes = kRequestSectors * 512;

std::string capture(const std::string &command) {
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A backing file of real (non-zero) data, so that nothing reads as a hole.
bool fill_backing_file(const std::string &path, uint64_t size) {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return false;
    std::vector<uint8_t> chunk(kMiB);
    bool ok = true;
    for (uint64_t at = 0; at < size && ok; at += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            uint64_t word = (at + i) * 0x9E3779B97F4A7C15ULL;
            std::memcpy(&chunk[i], &word, sizeof word);
        }
        ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    }
    close(fd);
    return ok;
}

// MiB/s of reading the LUN through the library, open and close included.
double ours(const std::string &url, uint64_t size) {
    static char session[] = "bench-session";
    oruDiskLibInConnection connection{const_cast<char *>("127.0.0.1"), nullptr, nullptr, session};
    std::string uuid = "iscsi-read-bench-" + std::to_string(getpid());
    std::string target = url;
    oruDiskLibVolume volume{};
    volume.diskFormat = ORU_RAW;
    volume.volumeUuid = uuid.data();
    volume.targeturl = target.data();
    volume.initiator = const_cast<char *>(kInitiator);
    std::vector<char> buffer(kRequestBytes);

    auto start = std::chrono::steady_clock::now();
    oruDiskLibHandle handle = nullptr;
    oruDiskLib_Init(&handle);
    oruError rc = oruDiskLib_Open(&volume, ORU_RO, "lanfree", true, handle,
                                  reinterpret_cast<oruDiskLibConnection>(&connection));
    for (uint64_t sector = 0; rc == ORU_OK && sector < size / 512; sector += kRequestSectors)
        rc = oruDiskLib_Read(handle, &volume, sector, kRequestSectors, buffer.data());
    if (rc == ORU_OK) rc = oruDiskLib_Close(handle, &volume);
    double seconds = seconds_since(start);
    oruDiskLib_Finalize(&handle);
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
    if (rc != ORU_OK) {
        std::fprintf(stderr, "library read failed: %d %s", rc, oruDiskLib_GetErrorText(rc));
        std::exit(1);
    }
    return size / kMiB / seconds;
}

// qemu-img convert from the LUN to a raw file in the scratch directory.
double qemu_convert(const std::string &url, uint64_t size, const std::string &dest) {
    auto start = std::chrono::steady_clock::now();
    std::string out = capture("qemu-img convert -f raw -O raw '" + url + "' '" + dest + "'");
    double seconds = seconds_since(start);
    unlink(dest.c_str());
    if (!out.empty()) {
        std::fprintf(stderr, "qemu-img convert: %s", out.c_str());
        return 0;
    }
    return size / kMiB / seconds;
}

// iscsi-perf reads sequentially until its timeout and reports its rate
// ("... xxx MB/s"); `shape` gives its request size and queue depth.
double iscsi_perf(const std::string &url, const std::string &shape, int seconds) {
    std::string out = capture("iscsi-perf -i " + std::string(kInitiator) + " " + shape + " -t " +
                              std::to_string(seconds) + " '" + url + "'");
    // The last "<number> MB/s" figure printed is the whole run's average.
    double rate = 0;
    for (size_t at = out.find(" MB/s"); at != std::string::npos; at = out.find(" MB/s", at + 1)) {
        size_t begin = at;
        while (begin > 0 &&
               (std::isdigit(static_cast<unsigned char>(out[begin - 1])) || out[begin - 1] == '.'))
            --begin;
        rate = std::atof(out.substr(begin, at - begin).c_str());
    }
    if (rate == 0) std::fprintf(stderr, "iscsi-perf: %s\n", out.c_str());
    return rate * 1e6 / kMiB; // MB/s (decimal) to MiB/s
}

} // namespace

int main(int argc, char **argv) {
    const uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) * kMiB;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const char *tmp = argc > 3 ? argv[3] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "needs root: runs its own tgtd in a private network namespace\n");
        return 77;
    }
    std::string dir = std::string(tmp) + "/iscsi-read-bench-XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    const std::string backing = dir + "/lun.img", copy = dir + "/copy.raw";
    int status = 0;
    if (!fill_backing_file(backing, size)) {
        std::fprintf(stderr, "cannot write %s\n", backing.c_str());
        status = 1;
    } else {
        oru::test::TgtTarget target(kPortal);
        if (!target.ok() || !target.add_lun(1, kIqn, 1, backing, 512)) {
            std::fprintf(stderr, "tgtd: %s\n", target.error().c_str());
            status = 1;
        } else {
            const std::string url = target.url(kIqn, 1);
            ours(url, size); // warm-up: backing file into the page cache
            // The peers take turns within each run, so that the load of a
            // shared machine falls on all of them alike.
            const int perf_seconds = 3;
            std::vector<double> lib, convert, perf1, perf_default;
            for (int i = 0; i < runs; ++i) {
                lib.push_back(ours(url, size));
                convert.push_back(qemu_convert(url, size, copy));
                // Our commands are at most 16 MiB; then iscsi-perf's own defaults.
                perf1.push_back(iscsi_perf(url, "-m 1 -b 32768", perf_seconds));
                perf_default.push_back(iscsi_perf(url, "", perf_seconds));
            }
            std::printf("sequential reads of a %llu MiB LUN (512-byte blocks), 32 MiB requests, "
                        "median of %d runs\n",
                        static_cast<unsigned long long>(size / kMiB), runs);
            std::printf("  oruDiskLib_Read (lanfree)          %8.1f MiB/s\n", median(lib));
            std::printf("  qemu-img convert -O raw (to file)  %8.1f MiB/s\n", median(convert));
            std::printf("  iscsi-perf, 16 MiB x 1 in flight   %8.1f MiB/s (%d s each)\n",
                        median(perf1), perf_seconds);
            std::printf("  iscsi-perf, its default shape      %8.1f MiB/s (%d s each)\n",
                        median(perf_default), perf_seconds);
        }
    }
    unlink(backing.c_str());
    rmdir(dir.c_str());
    return status;
}
