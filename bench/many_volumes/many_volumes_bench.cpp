// Aggregate read throughput of many volumes in one process: 1, 2, 4 and 8
// volumes, each read whole by a thread of its own through oruDiskLib_Read in
// 32 MiB requests, local (raw images) and remote (NBD exports that the
// platform simulator's host agent starts), beside as many nbdcopy processes
// (one connection each) reading the same files and exports at once. Every
// volume has its own image; all are in the page cache before the first round.
//
// usage: many_volumes_bench [MiB per volume (default 128)] [rounds (default 3)]
// Needs root: it runs in a private network namespace of its own.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../sim_process.h"
#include "oruDiskLib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kRequest = 32 * kMiB;
constexpr int kMaxVolumes = 8;
const int kCounts[] = {1, 2, 4, 8};
const char kServer[] = "127.0.0.10";
const char kHost[] = "127.0.0.11";

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int shell(const std::string &command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string uuid_of(int i) {
    return "bench-many-volumes-" + std::to_string(i);
}

// Not all zeros, and different in every image, so nothing on the path can
// shortcut holes or share pages.
bool write_image(const std::string &path, uint64_t size, int seed) {
    std::vector<char> block(kMiB);
    std::mt19937_64 random(static_cast<uint64_t>(seed) + 1);
    for (auto &b : block)
        b = static_cast<char>(random() | 1);
    std::ofstream out(path, std::ios::binary);
    for (uint64_t done = 0; done < size; done += kMiB)
        out.write(block.data(), kMiB);
    return static_cast<bool>(out);
}

pid_t start_simulator(const std::string &dir) {
    std::ofstream config(dir + "/platform.json");
    config << R"({"address": ")" << kServer
           << R"(", "users": [{"name": "bench", "password": "bench-pass",
           "userId": "user-bench"}], "hosts": [{"id": "host-1", "address": ")"
           << kHost << R"(", "cpuUsage": 1.0, "dataStores": ["ds-1"]}], "volumes": [)";
    for (int i = 0; i < kMaxVolumes; ++i)
        config << (i ? ", " : "") << R"({"uuid": ")" << uuid_of(i)
               << R"(", "dataStore": "ds-1", "image": ")" << dir << "/volume" << i << R"(.raw"})";
    config << R"(], "taskStates": {"openMode": ["FINISHED"], "accessKey": ["FINISHED"]}})";
    config.close();
    return oru_bench::run_simulator(dir);
}

// The port of a volume's export, from the "export started" event in the
// simulator's journal; empty when there is none.
std::string export_port(const std::string &dir, const std::string &uuid) {
    std::ifstream in(dir + "/journal.jsonl");
    std::string line, port;
    while (std::getline(in, line)) {
        if (line.find("export started") == std::string::npos ||
            line.find('"' + uuid + '"') == std::string::npos)
            continue;
        size_t at = line.find("\"port\"");
        if (at == std::string::npos) continue;
        at = line.find_first_of("0123456789", at);
        port = line.substr(at, line.find_first_not_of("0123456789", at) - at);
    }
    return port;
}

// One open volume with the buffer its reader uses.
struct OpenVolume {
    oruDiskLibHandle handle = nullptr;
    oruDiskLibVolume volume{};
    std::string path;
    std::string uuid;
    oruDiskLibConnection connection = nullptr;
    std::vector<char> buffer = std::vector<char>(kRequest);
};

bool read_whole(OpenVolume &v, uint64_t size) {
    for (uint64_t offset = 0; offset < size; offset += kRequest)
        if (oruDiskLib_Read(v.handle, &v.volume, offset / 512, kRequest / 512, v.buffer.data()) !=
            ORU_OK) {
            fprintf(stderr, "read of %s failed: %s\n", v.uuid.c_str(),
                    oruDiskLib_GetLastErrorText());
            return false;
        }
    return true;
}

// Aggregate MiB/s of the first n volumes read at once by n threads; 0 on a failure.
double library_pass(std::vector<OpenVolume> &volumes, int n, uint64_t size) {
    std::vector<char> ok(static_cast<size_t>(n), 0);
    std::vector<std::thread> readers;
    auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        readers.emplace_back([&, i] { ok[i] = read_whole(volumes[i], size); });
    for (auto &t : readers)
        t.join();
    double seconds = seconds_since(start);
    if (std::count(ok.begin(), ok.end(), 0) != 0) return 0;
    return static_cast<double>(n) * static_cast<double>(size / kMiB) / seconds;
}

// Aggregate MiB/s of n nbdcopy processes, one per source, run at once.
double nbdcopy_pass(const std::vector<std::string> &sources, int n, uint64_t size) {
    std::string command;
    for (int i = 0; i < n; ++i)
        command += "nbdcopy --connections=1 '" + sources[i] + "' null: & ";
    command += "wait";
    auto start = Clock::now();
    if (shell(command) != 0) return 0;
    double seconds = seconds_since(start);
    return static_cast<double>(n) * static_cast<double>(size / kMiB) / seconds;
}

struct Row {
    std::vector<double> ours, peer;
};

// Runs every count `rounds` times, alternating the contenders.
bool measure(std::vector<OpenVolume> &volumes, const std::vector<std::string> &sources,
             uint64_t size, int rounds, std::vector<Row> &rows) {
    for (int r = 0; r < rounds; ++r)
        for (size_t c = 0; c < std::size(kCounts); ++c) {
            double ours = library_pass(volumes, kCounts[c], size);
            double peer = nbdcopy_pass(sources, kCounts[c], size);
            if (ours <= 0 || peer <= 0) return false;
            rows[c].ours.push_back(ours);
            rows[c].peer.push_back(peer);
        }
    return true;
}

bool open_local(std::vector<OpenVolume> &volumes) {
    for (auto &v : volumes) {
        v.volume.diskPath = v.path.data();
        v.volume.diskFormat = ORU_RAW;
        v.volume.volumeUuid = v.uuid.data();
        if (oruDiskLib_Init(&v.handle) != ORU_OK ||
            oruDiskLib_Open(&v.volume, ORU_RO, nullptr, false, v.handle, nullptr) != ORU_OK) {
            fprintf(stderr, "local open of %s failed: %s\n", v.path.c_str(),
                    oruDiskLib_GetLastErrorText());
            return false;
        }
    }
    return true;
}

// Each remote volume on a connection of its own, as a proxy's threads would.
bool open_remote(std::vector<OpenVolume> &volumes) {
    oruDiskLibConnectParams params{const_cast<char *>(kServer), const_cast<char *>("bench"),
                                   const_cast<char *>("bench-pass"), nullptr};
    for (auto &v : volumes) {
        v.volume.diskPath = const_cast<char *>("/datastore/bench");
        v.volume.diskFormat = ORU_RAW;
        v.volume.volumeUuid = v.uuid.data();
        v.volume.dataStoreid = const_cast<char *>("ds-1");
        if (oruDiskLib_Connect(params, &v.connection) != ORU_OK ||
            oruDiskLib_Init(&v.handle) != ORU_OK ||
            oruDiskLib_Open(&v.volume, ORU_RO, "nbd", true, v.handle, v.connection) != ORU_OK) {
            fprintf(stderr, "remote open of %s failed: %s\n", v.uuid.c_str(),
                    oruDiskLib_GetLastErrorText());
            return false;
        }
    }
    return true;
}

void close_all(std::vector<OpenVolume> &volumes) {
    for (auto &v : volumes) {
        if (v.handle) {
            oruDiskLib_Close(v.handle, &v.volume);
            oruDiskLib_Finalize(&v.handle);
            v.handle = nullptr; // Finalize leaves the caller's pointer as it was
        }
        if (v.connection) oruDiskLib_DisConnect(v.connection);
        v.connection = nullptr;
        unlink(("/var/log/tamb/" + v.uuid + ".log").c_str());
    }
}

void print(const std::vector<Row> &local, const std::vector<Row> &remote) {
    printf("%-8s %16s %16s %16s %16s\n", "volumes", "local library", "local nbdcopy",
           "remote library", "remote nbdcopy");
    for (size_t c = 0; c < std::size(kCounts); ++c)
        printf("%-8d %16.0f %16.0f %16.0f %16.0f\n", kCounts[c], median(local[c].ours),
               median(local[c].peer), median(remote[c].ours), median(remote[c].peer));
}

} // namespace

int main(int argc, char **argv) {
    uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (size_mib < 32 || size_mib % 32 || rounds < 1) {
        fprintf(stderr, "usage: %s [MiB per volume, a multiple of 32] [rounds]\n", argv[0]);
        return 2;
    }
    const uint64_t size = size_mib * kMiB;
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || shell("ip link set lo up") != 0) {
        fprintf(stderr, "needs root for a private network namespace\n");
        return 77;
    }
    if (shell("command -v nbdcopy > /dev/null") != 0) {
        fprintf(stderr, "nbdcopy is missing\n");
        return 77;
    }
    char dir_template[] = "/tmp/many-volumes-bench.XXXXXX";
    if (!mkdtemp(dir_template)) return 1;
    const std::string dir = dir_template;
    int status = 1;
    std::vector<OpenVolume> volumes(kMaxVolumes);
    std::vector<std::string> files, exports;
    bool ok = true;
    for (int i = 0; i < kMaxVolumes && ok; ++i) {
        volumes[i].path = dir + "/volume" + std::to_string(i) + ".raw";
        volumes[i].uuid = uuid_of(i);
        files.push_back(volumes[i].path);
        ok = write_image(volumes[i].path, size, i);
    }
    std::vector<Row> local(std::size(kCounts)), remote(std::size(kCounts));
    if (ok) ok = shell("cat " + dir + "/volume*.raw > /dev/null") == 0; // into the page cache
    if (ok) ok = open_local(volumes) && measure(volumes, files, size, rounds, local);
    close_all(volumes);
    pid_t sim = ok ? start_simulator(dir) : -1;
    if (sim > 0) {
        ok = open_remote(volumes);
        for (int i = 0; i < kMaxVolumes && ok; ++i) {
            std::string port = export_port(dir, volumes[i].uuid);
            ok = !port.empty();
            exports.push_back(std::string("nbd://") + kHost + ":" + port + "/" + volumes[i].uuid);
        }
        if (ok) ok = measure(volumes, exports, size, rounds, remote);
        close_all(volumes);
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        if (ok) {
            printf(
                "aggregate read throughput, MiB/s (median of %d rounds); %d raw volumes of %llu "
                "MiB,\n"
                "each read whole by its own thread (oruDiskLib_Read, 32 MiB requests) or its own\n"
                "nbdcopy --connections=1 process; remote: qemu-nbd exports of oru-platform-sim\n",
                rounds, kMaxVolumes, static_cast<unsigned long long>(size_mib));
            print(local, remote);
            status = 0;
        }
    } else if (ok) {
        fprintf(stderr, "the simulator did not start\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
