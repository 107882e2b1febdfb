// A whole remote open against the simulator with the habits of real
// servers: connections kept alive for 20 s, chunked bodies with extensions
// and trailers, replies dribbled in small pieces; then an agent that never
// answers fails the open within ORU_NET_TIMEOUT and the next open works.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "oruDiskLib.h"
#include "support/platform_sim.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

char *c(const char *text) {
    return const_cast<char *>(text);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SimulatorHabits, WholeOpenTakesNoLongerThanItsExchanges) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    TempDir dir;
    const std::string image = dir.file("vol.raw");
    write_file(image, pattern(1024 * 1024, 5));
    const std::string uuid = "sim-habits-volume";
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users", {{{"name", "backup"}, {"password", "pw"}}}},
        {"hosts", {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}}}},
        {"volumes", {{{"uuid", uuid}, {"dataStore", "ds-1"}, {"image", image}}}},
        {"taskStates",
         {{"openMode", {"RUNNING", "FINISHED"}}, {"accessKey", {"RUNNING", "FINISHED"}}}},
        {"replies",
         {{"management",
           {{"keepAlive", 20},
            {"chunked", 64},
            {"chunkExtras", true},
            {"dribble", {{"bytes", 100}, {"pauseMs", 5}}}}},
          {"agent", {{"keepAlive", 20}, {"chunked", 8}, {"chunkExtras", true}}}}},
        {"faults", {{{"service", "agent"}, {"times", 1}, {"silent", true}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());

    setenv("ORU_NET_TIMEOUT", "2", 1);
    oruDiskLibVolume volume{};
    volume.diskPath = c("/datastore/vol");
    volume.diskFormat = ORU_RAW;
    volume.volumeUuid = const_cast<char *>(uuid.c_str());
    volume.dataStoreid = c("ds-1");
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);

    // The user has no key yet: login, listing, creation, its task, listing.
    auto start = std::chrono::steady_clock::now();
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(
                  oruDiskLibConnectParams{c("127.0.0.10"), c("backup"), c("pw"), nullptr}, &conn),
              ORU_OK);
    std::printf("oruDiskLib_Connect against the simulator (keep-alive 20 s): %.3f s\n",
                seconds_since(start));

    // The silent agent: the open fails in time, and says why in its log.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, conn), ORU_E_RECV);
    double silent = seconds_since(start);
    EXPECT_LT(silent, 6.0);
    oruDiskLib_Close(handle, &volume);
    std::ifstream log("/var/log/tamb/" + uuid + ".log");
    std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("timed out"), std::string::npos) << text;

    start = std::chrono::steady_clock::now();
    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, conn), ORU_OK);
    double open_seconds = seconds_since(start);
    std::printf("remote NBD open against the simulator (keep-alive 20 s): %.3f s\n", open_seconds);
    EXPECT_LT(open_seconds, 10.0); // waiting out one kept connection alone takes 20 s
    std::vector<uint8_t> got(64 * 512);
    ASSERT_EQ(oruDiskLib_Read(handle, &volume, 8, 64, got.data()), ORU_OK);
    EXPECT_EQ(got, pattern(got.size(), 5, 8 * 512));
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    oruDiskLib_Finalize(&handle);
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
    unsetenv("ORU_NET_TIMEOUT");
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
}

} // namespace
