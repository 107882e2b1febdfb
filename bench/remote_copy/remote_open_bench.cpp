// Times oruDiskLib_Connect + oruDiskLib_Open of a remote volume whose export
// is ready at once (the platform finishes the open-mode task on its first
// poll), and the NBD handshake alone (nbdinfo) on a direct export of the same
// image, in alternating rounds. remote_copy_bench.sh runs it beside the
// simulator it starts.
//
// usage: remote_open_bench SERVER USER PASSWORD UUID DATASTORE PATH FORMAT DIRECT-URI [ROUNDS]
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "oruDiskLib.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int format_code(const std::string &name) {
    if (name == "qcow2") return ORU_QCOW;
    if (name == "raw") return ORU_RAW;
    return -1;
}

// Connect + Open, or a negative figure when either fails. Everything is
// released again outside the timed part.
double library_open(char **argv) {
    oruDiskLibConnectParams params{argv[1], argv[2], argv[3], nullptr};
    oruDiskLibConnection connection = nullptr;
    oruDiskLibHandle handle = nullptr;
    oruDiskLibVolume volume{};
    volume.volumeUuid = argv[4];
    volume.dataStoreid = argv[5];
    volume.diskPath = argv[6];
    volume.diskFormat = format_code(argv[7]);
    double seconds = -1;
    auto start = Clock::now();
    if (oruDiskLib_Connect(params, &connection) == ORU_OK && oruDiskLib_Init(&handle) == ORU_OK &&
        oruDiskLib_Open(&volume, ORU_RO, const_cast<char *>("nbd"), true, handle, connection) ==
            ORU_OK) {
        seconds = seconds_since(start);
        oruDiskLib_Close(handle, &volume);
    }
    if (handle) oruDiskLib_Finalize(&handle);
    if (connection) oruDiskLib_DisConnect(connection);
    return seconds;
}

double handshake(const std::string &uri) {
    auto start = Clock::now();
    int status = std::system(("nbdinfo --size '" + uri + "' > /dev/null").c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return seconds_since(start);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 9 || format_code(argv[7]) < 0) {
        std::fprintf(
            stderr,
            "usage: %s SERVER USER PASSWORD UUID DATASTORE PATH qcow2|raw DIRECT-URI [ROUNDS]\n",
            argv[0]);
        return 2;
    }
    int rounds = argc > 9 ? std::atoi(argv[9]) : 5;
    if (rounds < 1) rounds = 1;
    std::vector<double> ours, peer;
    for (int r = 0; r < rounds; ++r) {
        double a = library_open(argv), b = handshake(argv[8]);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "remote_open_bench: %s failed\n",
                         a < 0 ? "the remote open" : "nbdinfo");
            return 1;
        }
        ours.push_back(a);
        peer.push_back(b);
    }
    std::printf("remote open, export ready at once, %d rounds (seconds)\n", rounds);
    std::printf("%-46s %10s %10s\n", "", "median", "best");
    std::printf("%-46s %10.3f %10.3f\n", "oruDiskLib_Connect + Open (login, export)", median(ours),
                *std::min_element(ours.begin(), ours.end()));
    std::printf("%-46s %10.3f %10.3f\n", "nbdinfo --size on the direct export", median(peer),
                *std::min_element(peer.begin(), peer.end()));
    return 0;
}
