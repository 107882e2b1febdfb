// Reads a remote volume in 32 MiB requests through oruDiskLib_Read and the
// same export with nbdcopy on one connection with one request in flight, in
// one run, alternating rounds. Then writes: the whole volume in 32 MiB
// oruDiskLib_Write calls on the write-back handle and one Flush, beside
// nbdcopy --flush of a local file of the same size into the same export.
// The open (Connect and Open) is timed apart.
//
// usage: nbd_read_bench [size-MiB (default 1024)] [rounds (default 3)]
// Needs root: it runs in a private network namespace of its own.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../sim_process.h"
#include "oruDiskLib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kRequest = 32 * kMiB;
const char kServer[] = "127.0.0.10";
const char kHost[] = "127.0.0.11";
const char kUuid[] = "bench-nbd-read-volume";

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int shell(const std::string &command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Not all zeros, so nothing on the path can shortcut holes.
bool write_image(const std::string &path, uint64_t size) {
    std::vector<char> block(kMiB);
    std::mt19937_64 random(42);
    for (auto &b : block)
        b = static_cast<char>(random() | 1);
    std::ofstream out(path, std::ios::binary);
    for (uint64_t done = 0; done < size; done += kMiB)
        out.write(block.data(), kMiB);
    return static_cast<bool>(out);
}

pid_t start_simulator(const std::string &dir) {
    std::ofstream(dir + "/platform.json")
        << R"({"address": ")" << kServer
        << R"(", "users": [{"name": "bench", "password": "bench-pass",
           "userId": "user-bench"}], "hosts": [{"id": "host-1", "address": ")"
        << kHost << R"(", "cpuUsage": 1.0, "dataStores": ["ds-1"]}], "volumes": [{"uuid": ")"
        << kUuid << R"(", "dataStore": "ds-1", "image": ")" << dir << R"(/volume.raw"}],
           "taskStates": {"openMode": ["FINISHED"], "accessKey": ["FINISHED"]}})";
    return oru_bench::run_simulator(dir);
}

// The export's port, from the agent's reply in the simulator's journal.
std::string export_port(const std::string &dir) {
    std::ifstream in(dir + "/journal.jsonl");
    std::stringstream text;
    text << in.rdbuf();
    std::string journal = text.str();
    size_t at = journal.rfind("serverPort");
    if (at == std::string::npos) return {};
    at = journal.find_first_of("0123456789", at);
    return journal.substr(at, journal.find_first_not_of("0123456789", at) - at);
}

double library_pass(oruDiskLibHandle handle, oruDiskLibVolume *volume, uint64_t size,
                    std::vector<char> &buffer) {
    auto start = Clock::now();
    for (uint64_t offset = 0; offset < size; offset += kRequest) {
        if (oruDiskLib_Read(handle, volume, offset / 512, kRequest / 512, buffer.data()) !=
            ORU_OK) {
            fprintf(stderr, "read failed at %llu\n", static_cast<unsigned long long>(offset));
            return -1;
        }
    }
    return seconds_since(start);
}

double library_write_pass(oruDiskLibHandle handle, oruDiskLibVolume *volume, uint64_t size,
                          std::vector<char> &buffer) {
    auto start = Clock::now();
    for (uint64_t offset = 0; offset < size; offset += kRequest) {
        if (oruDiskLib_Write(handle, volume, offset / 512, kRequest / 512, buffer.data()) !=
            ORU_OK) {
            fprintf(stderr, "write failed at %llu\n", static_cast<unsigned long long>(offset));
            return -1;
        }
    }
    if (oruDiskLib_Flush(handle, volume) != ORU_OK) return -1;
    return seconds_since(start);
}

double nbdcopy_write_pass(const std::string &source, const std::string &uri) {
    auto start = Clock::now();
    if (shell("nbdcopy --flush '" + source + "' '" + uri + "'") != 0) return -1;
    return seconds_since(start);
}

double nbdcopy_pass(const std::string &uri, const std::string &extra) {
    auto start = Clock::now();
    if (shell("nbdcopy --connections=1 --requests=1 " + extra + " '" + uri + "' null:") != 0)
        return -1;
    return seconds_since(start);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (size_mib < 32 || size_mib % 32 || rounds < 1) {
        fprintf(stderr, "usage: %s [size-MiB, a multiple of 32] [rounds]\n", argv[0]);
        return 2;
    }
    const uint64_t size = size_mib * kMiB;
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || shell("ip link set lo up") != 0) {
        fprintf(stderr, "needs root for a private network namespace\n");
        return 77;
    }
    char dir_template[] = "/tmp/nbd-read-bench.XXXXXX";
    if (!mkdtemp(dir_template)) return 1;
    std::string dir = dir_template;
    int status = 1;
    if (write_image(dir + "/volume.raw", size) && write_image(dir + "/source.raw", size)) {
        pid_t sim = start_simulator(dir);
        if (sim > 0) {
            oruDiskLibConnectParams params{const_cast<char *>(kServer), const_cast<char *>("bench"),
                                           const_cast<char *>("bench-pass"), nullptr};
            oruDiskLibConnection conn = nullptr;
            oruDiskLibHandle handle = nullptr;
            oruDiskLibVolume volume{};
            volume.diskPath = const_cast<char *>("/datastore/bench");
            volume.diskFormat = ORU_RAW;
            volume.volumeUuid = const_cast<char *>(kUuid);
            volume.dataStoreid = const_cast<char *>("ds-1");
            auto open_start = Clock::now();
            if (oruDiskLib_Connect(params, &conn) == ORU_OK && oruDiskLib_Init(&handle) == ORU_OK &&
                oruDiskLib_Open(&volume, ORU_RW | ORU_WRITEBACK, "nbd", true, handle, conn) ==
                    ORU_OK) {
                double open_seconds = seconds_since(open_start);
                std::string uri =
                    std::string("nbd://") + kHost + ":" + export_port(dir) + "/" + kUuid;
                std::vector<char> buffer(kRequest);
                printf("remote volume %llu MiB, qemu-nbd export %s, open %.2f s (excluded)\n",
                       static_cast<unsigned long long>(size_mib), uri.c_str(), open_seconds);
                nbdcopy_pass(uri, ""); // warms the page cache for every contender
                std::vector<double> ours, peer, peer32;
                bool ok = true;
                for (int r = 0; r < rounds && ok; ++r) {
                    double a = library_pass(handle, &volume, size, buffer);
                    double b = nbdcopy_pass(uri, "");
                    double c = nbdcopy_pass(uri, "--request-size=33554432");
                    ok = a > 0 && b > 0 && c > 0;
                    ours.push_back(size_mib / a);
                    peer.push_back(size_mib / b);
                    peer32.push_back(size_mib / c);
                }
                if (ok) {
                    printf("%-52s %10s %10s\n", "reader (MiB/s over rounds)", "median", "best");
                    printf("%-52s %10.0f %10.0f\n", "oruDiskLib_Read, 32 MiB requests",
                           median(ours), *std::max_element(ours.begin(), ours.end()));
                    printf("%-52s %10.0f %10.0f\n", "nbdcopy --connections=1 --requests=1",
                           median(peer), *std::max_element(peer.begin(), peer.end()));
                    printf("%-52s %10.0f %10.0f\n", "nbdcopy ... --request-size=32M",
                           median(peer32), *std::max_element(peer32.begin(), peer32.end()));
                    status = 0;
                }
                std::vector<double> wours, wpeer;
                for (int r = 0; r < rounds && status == 0; ++r) {
                    double a = library_write_pass(handle, &volume, size, buffer);
                    double b = nbdcopy_write_pass(dir + "/source.raw", uri);
                    if (a <= 0 || b <= 0) status = 1;
                    wours.push_back(size_mib / a);
                    wpeer.push_back(size_mib / b);
                }
                if (status == 0) {
                    printf("%-52s %10s %10s\n", "writer (MiB/s over rounds, flushed)", "median",
                           "best");
                    printf("%-52s %10.0f %10.0f\n", "oruDiskLib_Write 32 MiB, ORU_WRITEBACK, Flush",
                           median(wours), *std::max_element(wours.begin(), wours.end()));
                    printf("%-52s %10.0f %10.0f\n", "nbdcopy --flush (local file to the export)",
                           median(wpeer), *std::max_element(wpeer.begin(), wpeer.end()));
                }
                oruDiskLib_Close(handle, &volume);
            } else {
                fprintf(stderr, "remote open failed\n");
            }
            if (handle) oruDiskLib_Finalize(&handle);
            if (conn) oruDiskLib_DisConnect(conn);
            kill(sim, SIGTERM);
            waitpid(sim, nullptr, 0);
            unlink((std::string("/var/log/tamb/") + kUuid + ".log").c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
