// Storage servers dying under open volumes: the qemu-nbd export of an NBD
// volume killed while 32 MiB reads (or writes) stream, and the tgtd target
// of an iSCSI volume killed the same way. Every call must end with its error
// code (no hang: an alarm fails the program), NBD failures must reach the
// volume's log with libnbd's text, and the handles must still close.
//
// Storage servers falling silent (stopped, or listening without answering):
// each call must fail within ORU_NET_TIMEOUT plus a little, say so, leave
// the connection unusable but closable, and the process must go on to work
// with a server that answers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "iscsi_file_bytes.h"
#include "oruDiskLib.h"
#include "qemu_nbd_export.h"
#include "support/platform_sim.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kChunkSectors = 65536; // 32 MiB, the largest transfer

char *c(const char *text) {
    return const_cast<char *>(text);
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Pid of this process's child running `name` (tgtd), or -1.
pid_t child_named(const std::string &name) {
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks) return -1;
    pid_t found = -1;
    while (struct dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream children(std::string("/proc/self/task/") + task->d_name + "/children");
        pid_t pid;
        while (found < 0 && children >> pid) {
            std::string comm;
            std::ifstream(("/proc/" + std::to_string(pid) + "/comm")) >> comm;
            if (comm == name) found = pid;
        }
    }
    closedir(tasks);
    return found;
}

// Streams transfers of the largest size until one fails; returns its code.
// `started` turns true once the first transfer is under way.
oruError stream_until_failure(oruDiskLibHandle handle, oruDiskLibVolume *volume, bool writing,
                              uint64_t size, std::atomic<bool> *started) {
    std::vector<uint8_t> buffer(kChunkSectors * 512, 0x5a);
    for (uint64_t round = 0;; ++round) {
        uint64_t start = round * kChunkSectors % (size / 512);
        started->store(true);
        oruError rc = writing
                          ? oruDiskLib_Write(handle, volume, start, kChunkSectors, buffer.data())
                          : oruDiskLib_Read(handle, volume, start, kChunkSectors, buffer.data());
        if (rc != ORU_OK) return rc;
    }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A TCP port that accepts connections (the kernel completes them) but
// whose owner never reads or writes.
struct SilentListener {
    explicit SilentListener(const char *address, int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &where.sin_addr);
        ok =
            bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0 && listen(fd, 8) == 0;
    }
    ~SilentListener() { close(fd); }
    int fd;
    bool ok = false;
};

// The pid of the export the simulator started for volume uuid, or -1.
pid_t export_pid(const PlatformSim &sim, const std::string &uuid) {
    pid_t pid = -1;
    for (auto &entry : sim.journal())
        if (entry.value("event", "") == "export started" && entry.value("volumeUuid", "") == uuid)
            pid = entry.value("pid", -1);
    return pid;
}

// A lanfree volume on an iSCSI LUN behind its own handle; the handle and the
// volume's log go with it, whatever assertion ends the test.
struct LanfreeVolume {
    LanfreeVolume(const std::string &target_url, const std::string &volume_uuid,
                  const char *initiator)
        : url(target_url), uuid(volume_uuid) {
        volume.volumeUuid = uuid.data();
        volume.dataStoreid = c("ds-1");
        volume.diskFormat = ORU_RAW;
        volume.targeturl = url.data();
        volume.initiator = c(initiator);
        init = oruDiskLib_Init(&handle);
    }
    ~LanfreeVolume() {
        if (handle) oruDiskLib_Finalize(&handle);
        unlink(("/var/log/tamb/" + uuid + ".log").c_str());
    }
    oruError open() {
        return oruDiskLib_Open(&volume, ORU_RW, "lanfree", true, handle,
                               reinterpret_cast<oruDiskLibConnection>(&connection));
    }

    std::string url, uuid;
    oruDiskLibInConnection connection{c("127.0.0.98"), c("u"), c("p"), c("s")};
    oruDiskLibVolume volume{};
    oruDiskLibHandle handle = nullptr;
    oruError init = ORU_E_INIT;
};

class ServerDeath : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        alarm(150); // a hang anywhere fails the program instead of blocking CI
    }
    void TearDown() override { alarm(0); }
};

TEST_F(ServerDeath, NbdExportKilledMidReadAndMidWrite) {
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    TempDir dir;
    const uint64_t size = 64 * MiB;
    const std::string reads = "hardening-nbd-killed-read", writes = "hardening-nbd-killed-write";
    write_file(dir.file("r.raw"), pattern(size, 1));
    write_file(dir.file("w.raw"), pattern(size, 2));
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users",
         {{{"name", "backup"},
           {"password", "pw"},
           {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts", {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}}}},
        {"volumes",
         {{{"uuid", reads}, {"dataStore", "ds-1"}, {"image", dir.file("r.raw")}},
          {{"uuid", writes}, {"dataStore", "ds-1"}, {"image", dir.file("w.raw")}}}},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(
                  oruDiskLibConnectParams{c("127.0.0.10"), c("backup"), c("pw"), nullptr}, &conn),
              ORU_OK);

    for (bool writing : {false, true}) {
        SCOPED_TRACE(writing ? "mid-write" : "mid-read");
        std::string uuid = writing ? writes : reads;
        oruDiskLibVolume volume{};
        volume.diskPath = c("/datastore/vol");
        volume.diskFormat = ORU_RAW;
        volume.volumeUuid = uuid.data();
        volume.dataStoreid = c("ds-1");
        oruDiskLibHandle handle = nullptr;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, conn), ORU_OK);
        pid_t server = -1;
        for (auto &entry : sim.journal())
            if (entry.value("event", "") == "export started" &&
                entry.value("volumeUuid", "") == uuid)
                server = entry.value("pid", -1);
        ASSERT_GT(server, 0);

        std::atomic<bool> started{false};
        oruError failed = ORU_OK;
        std::thread streamer(
            [&] { failed = stream_until_failure(handle, &volume, writing, size, &started); });
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // The simulator started this qemu-nbd for us; it reaps it when it stops.
        kill(server, SIGKILL);
        streamer.join();

        const oruError code = writing ? ORU_E_REMOTE_WRITE : ORU_E_REMOTE_READ;
        EXPECT_EQ(failed, code);
        std::string text = oruDiskLib_GetErrorText(code);
        EXPECT_FALSE(text.empty());
        EXPECT_LT(text.size(), sizeof nbderror);
        std::vector<uint8_t> sector(512);
        EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 1, sector.data()), ORU_E_REMOTE_READ);
        EXPECT_EQ(oruDiskLib_Write(handle, &volume, 0, 1, sector.data()), ORU_E_REMOTE_WRITE);

        const std::string log_path = "/var/log/tamb/" + uuid + ".log";
        std::string log = read_text(log_path);
        EXPECT_NE(log.find(writing ? "write failed::" : "read failed::"), std::string::npos) << log;
        EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
        log = read_text(log_path);
        EXPECT_NE(log.find("closed success::nbd"), std::string::npos) << log;
        EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 1, sector.data()), ORU_E_HANDLENBD);
        oruDiskLib_Finalize(&handle);
        unlink(log_path.c_str());
    }
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
}

TEST_F(ServerDeath, IscsiTargetKilledUnderAnOpenVolume) {
    ORU_REQUIRE_PROGRAM("tgtd");
    ORU_REQUIRE_PROGRAM("tgtadm");
    TempDir dir;
    const uint64_t size = 64 * MiB;
    const std::string lun = dir.file("lun.img");
    ASSERT_TRUE(make_sparse_file(lun, size));
    TgtTarget target("127.0.0.3");
    ASSERT_TRUE(target.ok()) << target.error();
    const char iqn[] = "iqn.2024-01.test.oru:dying";
    ASSERT_TRUE(target.add_lun(1, iqn, 1, lun, 512)) << target.error();
    LanfreeVolume lanfree(target.url(iqn, 1), "hardening-iscsi-killed",
                          "iqn.2024-01.test.oru:survivor");
    ASSERT_EQ(lanfree.init, ORU_OK);
    oruDiskLibVolume &volume = lanfree.volume;
    oruDiskLibHandle &handle = lanfree.handle;
    auto open = [&] { return lanfree.open(); };
    ASSERT_EQ(open(), ORU_OK);
    pid_t tgtd = child_named("tgtd");
    ASSERT_GT(tgtd, 0);

    std::atomic<bool> started{false};
    oruError failed = ORU_OK;
    std::thread streamer(
        [&] { failed = stream_until_failure(handle, &volume, false, size, &started); });
    while (!started)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Our own child; TgtTarget reaps it when it is destroyed.
    kill(tgtd, SIGKILL);
    streamer.join();
    EXPECT_EQ(failed, ORU_ISCSI_READ);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_READ), "iscsi failed to send Read10 command\n");
    std::vector<uint8_t> sectors(8 * 512, 1);
    EXPECT_EQ(oruDiskLib_Write(handle, &volume, 0, 8, sectors.data()), ORU_ISCSI_WRITE);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_WRITE),
                 "iscsi failed to send Write10 command\n");
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 8, sectors.data()), ORU_ISCSI_READ);
    // The close ends whatever its logout meets; a new open finds no target.
    oruDiskLib_Close(handle, &volume);
    EXPECT_EQ(open(), ORU_ISCSI_OPEN);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_OPEN), "iscsi login failed\n");
    oruDiskLib_Close(handle, &volume);
}

} // namespace

namespace {

// The limit every network wait of these tests runs under, and what a failing
// call may take beyond it (scheduling on a loaded machine).
constexpr int kLimit = 2;
constexpr double kSlack = 5.0;

class ServerSilence : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        alarm(150);
        setenv("ORU_NET_TIMEOUT", std::to_string(kLimit).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ORU_NET_TIMEOUT");
        alarm(0);
    }
};

TEST_F(ServerSilence, NbdExportStalledOrMuteFailsInTimeAndTheNextOneWorks) {
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    TempDir dir;
    const uint64_t size = 64 * MiB;
    const std::string reads = "silence-nbd-read", writes = "silence-nbd-write",
                      mute = "silence-nbd-mute", late = "silence-nbd-late";
    write_file(dir.file("r.raw"), pattern(size, 1));
    write_file(dir.file("w.raw"), pattern(size, 2));
    write_file(dir.file("late.raw"), pattern(MiB, 3));
    // host-2's agent names a port that accepts but never greets; host-3's
    // names one where the export starts listening only after the answer.
    const int mute_port = 10901, late_port = 10902;
    SilentListener silent("127.0.0.13", mute_port);
    ASSERT_TRUE(silent.ok);
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users",
         {{{"name", "backup"},
           {"password", "pw"},
           {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts",
         {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}},
          {{"id", "host-2"}, {"address", "127.0.0.13"}, {"dataStores", {"ds-2"}}},
          {{"id", "host-3"}, {"address", "127.0.0.14"}, {"dataStores", {"ds-3"}}}}},
        {"volumes",
         {{{"uuid", reads}, {"dataStore", "ds-1"}, {"image", dir.file("r.raw")}},
          {{"uuid", writes}, {"dataStore", "ds-1"}, {"image", dir.file("w.raw")}},
          {{"uuid", mute}, {"dataStore", "ds-2"}, {"image", dir.file("r.raw")}},
          {{"uuid", late}, {"dataStore", "ds-3"}, {"image", dir.file("late.raw")}}}},
        {"faults",
         {{{"service", "agent"},
           {"host", "host-2"},
           {"json", {{"serverPort", std::to_string(mute_port)}}}},
          {{"service", "agent"},
           {"host", "host-3"},
           {"json", {{"serverPort", std::to_string(late_port)}}}}}},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(
                  oruDiskLibConnectParams{c("127.0.0.10"), c("backup"), c("pw"), nullptr}, &conn),
              ORU_OK);
    std::string uuid;
    oruDiskLibVolume volume{};
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    auto open_on = [&](const std::string &which, const char *store) {
        uuid = which;
        volume = {};
        volume.diskPath = c("/datastore/vol");
        volume.diskFormat = ORU_RAW;
        volume.volumeUuid = uuid.data();
        volume.dataStoreid = c(store);
        return oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, conn);
    };

    std::vector<uint8_t> buffer(kChunkSectors * 512, 0x5a);
    for (bool writing : {false, true}) {
        SCOPED_TRACE(writing ? "stalled write" : "stalled read");
        ASSERT_EQ(open_on(writing ? writes : reads, "ds-1"), ORU_OK);
        pid_t server = export_pid(sim, uuid);
        ASSERT_GT(server, 0);
        ASSERT_EQ(kill(server, SIGSTOP), 0);
        auto start = std::chrono::steady_clock::now();
        oruError rc = writing ? oruDiskLib_Write(handle, &volume, 0, kChunkSectors, buffer.data())
                              : oruDiskLib_Read(handle, &volume, 0, kChunkSectors, buffer.data());
        double took = seconds_since(start);
        const oruError code = writing ? ORU_E_REMOTE_WRITE : ORU_E_REMOTE_READ;
        EXPECT_EQ(rc, code);
        EXPECT_LT(took, kLimit + kSlack);
        std::string text = oruDiskLib_GetErrorText(code);
        EXPECT_NE(text.find("timed out"), std::string::npos) << text;
        // The connection is given up: later calls fail at once, the close
        // releases it even though the server is still stopped.
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 8, buffer.data()), ORU_E_REMOTE_READ);
        EXPECT_EQ(oruDiskLib_Write(handle, &volume, 0, 8, buffer.data()), ORU_E_REMOTE_WRITE);
        EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
        EXPECT_LT(seconds_since(start), kSlack);
        std::string log = read_text("/var/log/tamb/" + uuid + ".log");
        EXPECT_NE(
            log.find(writing ? "write failed::write timed out" : "read failed::read timed out"),
            std::string::npos)
            << log;
        ASSERT_EQ(kill(server, SIGCONT), 0);
    }

    // The same export, answering again, serves a new open.
    ASSERT_EQ(open_on(reads, "ds-1"), ORU_OK);
    std::vector<uint8_t> sectors(8 * 512);
    ASSERT_EQ(oruDiskLib_Read(handle, &volume, 2048, 8, sectors.data()), ORU_OK);
    EXPECT_EQ(sectors, pattern(sectors.size(), 1, 2048 * 512));
    // Stalled again, it holds an extents query no longer than a read.
    pid_t server = export_pid(sim, uuid);
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    std::vector<oruDiskLibExtent> extents(16);
    uint32_t found = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_QueryExtents(handle, &volume, 0, size / 512, extents.data(), 16, &found),
              ORU_E_REMOTE_READ);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_EQ(found, 0u);
    // The cut connection cannot describe anything, not even "all data".
    EXPECT_EQ(oruDiskLib_QueryExtents(handle, &volume, 0, 8, extents.data(), 16, &found),
              ORU_E_REMOTE_READ);
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 8, sectors.data()), ORU_E_REMOTE_READ);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    EXPECT_NE(read_text("/var/log/tamb/" + reads + ".log")
                  .find("block status failed::block status timed out"),
              std::string::npos);
    ASSERT_EQ(kill(server, SIGCONT), 0);

    // An export that accepts and never greets fails the open in time.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(open_on(mute, "ds-2"), ORU_E_REMOTE_OPEN);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    std::string log = read_text("/var/log/tamb/" + mute + ".log");
    EXPECT_NE(log.find("open failed::connect timed out"), std::string::npos) << log;

    // An export that listens only after the agent has answered is reached
    // once it does.
    std::unique_ptr<QemuNbdExport> later;
    std::thread starter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        later = std::make_unique<QemuNbdExport>(NbdExportOptions{.address = "127.0.0.14",
                                                                 .port = late_port,
                                                                 .image = dir.file("late.raw"),
                                                                 .format = "raw",
                                                                 .name = late});
    });
    oruError late_open = open_on(late, "ds-3");
    starter.join();
    ASSERT_TRUE(later && later->running()) << (later ? later->error() : "");
    EXPECT_EQ(late_open, ORU_OK) << read_text("/var/log/tamb/" + late + ".log");
    if (late_open == ORU_OK) {
        ASSERT_EQ(oruDiskLib_Read(handle, &volume, 8, 8, sectors.data()), ORU_OK);
        EXPECT_EQ(sectors, pattern(sectors.size(), 3, 8 * 512));
    }
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);

    oruDiskLib_Finalize(&handle);
    for (auto &name : {reads, writes, mute, late})
        unlink(("/var/log/tamb/" + name + ".log").c_str());
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
}

TEST_F(ServerSilence, IscsiTargetStalledFailsInTimeAndTheNextLoginWorks) {
    ORU_REQUIRE_PROGRAM("tgtd");
    ORU_REQUIRE_PROGRAM("tgtadm");
    TempDir dir;
    const std::string lun = dir.file("lun.img");
    write_file(lun, pattern(4 * MiB, 5));
    TgtTarget target("127.0.0.3");
    ASSERT_TRUE(target.ok()) << target.error();
    const char iqn[] = "iqn.2024-01.test.oru:silent";
    ASSERT_TRUE(target.add_lun(1, iqn, 1, lun, 512)) << target.error();
    LanfreeVolume lanfree(target.url(iqn, 1), "silence-iscsi", "iqn.2024-01.test.oru:patient");
    ASSERT_EQ(lanfree.init, ORU_OK);
    oruDiskLibVolume &volume = lanfree.volume;
    oruDiskLibHandle &handle = lanfree.handle;
    auto open = [&] { return lanfree.open(); };
    ASSERT_EQ(open(), ORU_OK);
    pid_t tgtd = child_named("tgtd");
    ASSERT_GT(tgtd, 0);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);

    // A read of a partial block, then a write of whole ones: each fails in time.
    std::vector<uint8_t> sectors(8 * 512);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 3, 8, sectors.data()), ORU_ISCSI_READ);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_READ), "iscsi Read10 command timed out\n");
    // The session is given up: later calls fail at once, the close is quick.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_Write(handle, &volume, 0, 8, sectors.data()), ORU_ISCSI_WRITE);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    EXPECT_LT(seconds_since(start), kSlack);

    // A login to the stopped portal fails in time.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(open(), ORU_ISCSI_OPEN);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_OPEN), "iscsi login timed out\n");
    oruDiskLib_Close(handle, &volume);

    // A stopped target mid-write, with the session open.
    ASSERT_EQ(kill(tgtd, SIGCONT), 0);
    ASSERT_EQ(open(), ORU_OK);
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    std::vector<uint8_t> big(MiB, 0x33);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_Write(handle, &volume, 0, MiB / 512, big.data()), ORU_ISCSI_WRITE);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_WRITE), "iscsi Write10 command timed out\n");
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);

    // Answering again, the target takes a new login and serves the LUN.
    ASSERT_EQ(kill(tgtd, SIGCONT), 0);
    ASSERT_EQ(open(), ORU_OK);
    ASSERT_EQ(oruDiskLib_Read(handle, &volume, 8000, 8, sectors.data()), ORU_OK);
    EXPECT_EQ(sectors, pattern(sectors.size(), 5, 8000 * 512));
    // Stopped again, it holds an extents query no longer than a read, and
    // the session is given up the same way.
    ASSERT_EQ(kill(tgtd, SIGSTOP), 0);
    std::vector<oruDiskLibExtent> extents(16);
    uint32_t found = 0;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_QueryExtents(handle, &volume, 0, 8192, extents.data(), 16, &found),
              ORU_ISCSI_READ);
    EXPECT_LT(seconds_since(start), kLimit + kSlack);
    EXPECT_NE(std::string(oruDiskLib_GetErrorText(ORU_ISCSI_READ)).find("timed out"),
              std::string::npos);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 8, sectors.data()), ORU_ISCSI_READ);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    EXPECT_LT(seconds_since(start), kSlack);
    ASSERT_EQ(kill(tgtd, SIGCONT), 0);
}

} // namespace
