// Threads with remote volumes of their own read and write at the same time:
// iSCSI volumes on separate LUNs of one tgtd target, and NBD volumes that the
// platform simulator exports (their opens run host selection, the open mode
// with task polling and the agent request; see nbd_open_turn below).
// Each thread checks its own data; the backing files are the final judge.
// Many volumes per process: eight threads each loop through a whole session
// (connect, open, read, close, disconnect) with descriptors and mappings
// counted around the loop.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <barrier>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "hardening/resource_probe.h"
#include "iscsi_file_bytes.h"
#include "oruDiskLib.h"
#include "support/platform_sim.h"
#include "support/test_support.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kSize = 8 * MiB;

struct RemoteWorker {
    std::string uuid;
    std::string backing; // the file behind the volume
    std::string url;     // iSCSI target URL, empty for NBD
    std::vector<uint8_t> shadow = std::vector<uint8_t>(kSize, 0);
    std::string failure;
};

// The simulator serves one management connection at a time, while the
// library connects TCP before it waits for its exchange lock: two NBD opens
// at once against it stall each other until the simulator's request timeout.
// NBD opens therefore take turns here; iSCSI opens and all I/O run at once.
std::mutex nbd_open_turn;

void work(RemoteWorker &w, oruDiskLibConnection conn, unsigned seed, int rounds) {
    auto fail = [&](const std::string &what, int rc) {
        w.failure = what + " -> " + std::to_string(rc) + " (" +
                    oruDiskLib_GetErrorText(static_cast<oruError>(rc)) + ")";
    };
    oruDiskLibHandle handle = nullptr;
    oruDiskLib_Init(&handle);
    oruDiskLibVolume volume{};
    volume.diskPath = const_cast<char *>("/datastore/volume");
    volume.diskFormat = ORU_RAW;
    volume.volumeUuid = w.uuid.data();
    volume.dataStoreid = const_cast<char *>("ds-1");
    volume.targeturl = w.url.empty() ? nullptr : w.url.data();
    volume.initiator = const_cast<char *>("iqn.2024-01.test.oru:concurrent");
    const char *mode = w.url.empty() ? "nbd" : "lanfree";
    std::unique_lock turn(nbd_open_turn, std::defer_lock);
    if (w.url.empty()) turn.lock();
    int opened = oruDiskLib_Open(&volume, ORU_RW, mode, true, handle, conn);
    if (turn.owns_lock()) turn.unlock();
    if (int rc = opened; rc != ORU_OK) {
        oruDiskLib_Finalize(&handle);
        return fail(std::string("open ") + mode, rc);
    }
    std::mt19937_64 rng(seed);
    const uint64_t total = kSize / 512;
    for (int i = 0; i < rounds && w.failure.empty(); ++i) {
        uint64_t n = 1 + rng() % 128;
        uint64_t start = rng() % (total - n);
        std::vector<uint8_t> data = pattern(n * 512, rng(), start * 512);
        if (int rc = oruDiskLib_Write(handle, &volume, start, n, data.data()); rc != ORU_OK)
            fail("write", rc);
        std::copy(data.begin(), data.end(), w.shadow.begin() + static_cast<long>(start * 512));
        n = 1 + rng() % 128;
        start = rng() % (total - n);
        std::vector<uint8_t> got(n * 512);
        if (int rc = oruDiskLib_Read(handle, &volume, start, n, got.data()); rc != ORU_OK)
            fail("read", rc);
        else if (!std::equal(got.begin(), got.end(), w.shadow.begin() + static_cast<long>(start * 512)))
            fail("read back differs at sector " + std::to_string(start), 0);
    }
    if (int rc = oruDiskLib_Close(handle, &volume); rc != ORU_OK && w.failure.empty()) fail("close", rc);
    oruDiskLib_Finalize(&handle);
    unlink(("/var/log/tamb/" + w.uuid + ".log").c_str());
}

TEST(RemoteConcurrency, IscsiAndNbdVolumesSideBySide) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("tgtd");
    ORU_REQUIRE_PROGRAM("tgtadm");
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    TempDir dir;
    TgtTarget target("127.0.0.3");
    ASSERT_TRUE(target.ok()) << target.error();
    const char iqn[] = "iqn.2024-01.test.oru:concurrent";
    std::vector<RemoteWorker> workers;
    for (int i = 0; i < 3; ++i) {
        RemoteWorker w;
        w.uuid = "hardening-iscsi-" + std::to_string(i);
        w.backing = dir.file("lun" + std::to_string(i) + ".img");
        ASSERT_TRUE(make_sparse_file(w.backing, kSize));
        ASSERT_TRUE(target.add_lun(1, iqn, i + 1, w.backing, 512)) << target.error();
        w.url = target.url(iqn, i + 1);
        workers.push_back(std::move(w));
    }
    nlohmann::json volumes = nlohmann::json::array();
    for (int i = 0; i < 3; ++i) {
        RemoteWorker w;
        w.uuid = "hardening-nbd-" + std::to_string(i);
        w.backing = dir.file("nbd" + std::to_string(i) + ".raw");
        ASSERT_TRUE(make_sparse_file(w.backing, kSize));
        volumes.push_back({{"uuid", w.uuid}, {"dataStore", "ds-1"}, {"image", w.backing}});
        workers.push_back(std::move(w));
    }
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users", {{{"name", "backup"}, {"password", "pw"}, {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts",
         {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"cpuUsage", 10.0}, {"dataStores", {"ds-1"}}},
          {{"id", "host-2"}, {"address", "127.0.0.12"}, {"cpuUsage", 20.0}, {"dataStores", {"ds-1"}}}}},
        {"volumes", volumes},
        {"taskStates", {{"openMode", {"RUNNING", "FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnectParams params{const_cast<char *>("127.0.0.10"), const_cast<char *>("backup"),
                                   const_cast<char *>("pw"), nullptr};
    // One connection per NBD thread: a connection record is not shared
    // between threads during opens that may renew its session.
    std::vector<oruDiskLibConnection> conns(workers.size(), nullptr);
    for (size_t i = 0; i < workers.size(); ++i)
        ASSERT_EQ(oruDiskLib_Connect(params, &conns[i]), ORU_OK);

    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers.size(); ++i)
        threads.emplace_back(work, std::ref(workers[i]), conns[i], static_cast<unsigned>(i + 1), 150);
    for (auto &t : threads) t.join();
    for (auto conn : conns) EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
    sim.stop(); // stops the exports, so their files are complete
    for (auto &w : workers) {
        EXPECT_EQ(w.failure, "") << w.uuid;
        EXPECT_TRUE(file_bytes(w.backing, 0, kSize) == w.shadow) << w.uuid << " backing file differs";
    }
}

// One backup session of a thread, start to end, on its own volume. Empty on
// success, else what failed with the thread's own failure text.
std::string read_session(const oruDiskLibConnectParams &params, const std::string &uuid,
                         const std::vector<uint8_t> &expected) {
    auto failed = [](const std::string &what, int rc) {
        return what + " -> " + std::to_string(rc) + " (" + oruDiskLib_GetLastErrorText() + ")";
    };
    oruDiskLibConnection conn = nullptr;
    if (int rc = oruDiskLib_Connect(params, &conn); rc != ORU_OK) return failed("connect", rc);
    oruDiskLibHandle handle = nullptr;
    oruDiskLib_Init(&handle);
    oruDiskLibVolume volume{};
    volume.diskPath = const_cast<char *>("/datastore/volume");
    volume.diskFormat = ORU_RAW;
    volume.volumeUuid = const_cast<char *>(uuid.c_str());
    volume.dataStoreid = const_cast<char *>("ds-1");
    std::string failure;
    if (int rc = oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, conn); rc != ORU_OK) {
        failure = failed("open", rc);
    } else {
        std::vector<uint8_t> got(expected.size());
        if (int rc = oruDiskLib_Read(handle, &volume, 0, got.size() / 512, got.data()); rc != ORU_OK)
            failure = failed("read", rc);
        else if (got != expected)
            failure = "read back differs";
        if (int rc = oruDiskLib_Close(handle, &volume); rc != ORU_OK && failure.empty())
            failure = failed("close", rc);
    }
    oruDiskLib_Finalize(&handle);
    if (int rc = oruDiskLib_DisConnect(conn); rc != ORU_OK && failure.empty())
        failure = failed("disconnect", rc);
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
    return failure;
}

TEST(RemoteConcurrency, EightVolumesLoopWholeSessionsWithoutGrowth) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    constexpr int kThreads = 8;
    constexpr uint64_t kVolumeSize = 4 * MiB;
    const int rounds = cycles_from_env("ORU_MANY_VOLUMES_ROUNDS", 4);
    TempDir dir;
    std::vector<std::string> uuids;
    std::vector<std::vector<uint8_t>> contents;
    nlohmann::json volumes = nlohmann::json::array();
    for (int i = 0; i < kThreads; ++i) {
        uuids.push_back("many-volumes-" + std::to_string(i));
        contents.push_back(pattern(kVolumeSize, 100 + i));
        std::string image = dir.file("volume" + std::to_string(i) + ".raw");
        write_file(image, contents.back());
        volumes.push_back({{"uuid", uuids.back()}, {"dataStore", "ds-1"}, {"image", image}});
    }
    nlohmann::json config = {
        {"address", "127.0.0.20"},
        {"users", {{{"name", "backup"}, {"password", "pw"}, {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts",
         {{{"id", "host-1"}, {"address", "127.0.0.21"}, {"cpuUsage", 10.0}, {"dataStores", {"ds-1"}}}}},
        {"volumes", volumes},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnectParams params{const_cast<char *>("127.0.0.20"), const_cast<char *>("backup"),
                                   const_cast<char *>("pw"), nullptr};

    // Round 0 warms up what is made once per process (TLS tables, thread
    // stacks, sanitizer regions); the probes bracket the rounds after it.
    std::vector<std::string> failures(kThreads);
    Resources before;
    std::barrier warmed(kThreads, [&]() noexcept { before = probe(); });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round <= rounds; ++round) {
                if (round == 1) warmed.arrive_and_wait();
                std::string failure = read_session(params, uuids[t], contents[t]);
                if (!failure.empty() && failures[t].empty())
                    failures[t] = "round " + std::to_string(round) + ": " + failure;
            }
        });
    for (auto &thread : threads) thread.join();
    Resources after = probe();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << uuids[t];
    expect_no_growth("eight volumes", rounds * kThreads, before, after);
}

} // namespace
