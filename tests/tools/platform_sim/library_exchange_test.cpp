// The library's own client against the simulator: its exact request texts
// are understood, every reply ends with the connection (the request layer
// reads until the server closes), and a remote volume opens, reads and
// writes end to end through host selection, the open-mode task, the agent's
// export and the backup-network address.
#include "sim_client.h"

#include "https_post.h"
#include "oruDiskLib.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" int setOpenMode(char *uuid, char *openFlag, char *ip, char *session);

namespace oru::test {
namespace {

char *text(std::string &s) { return s.data(); }

std::string https_get_body(const std::string &path, std::string authorization) {
    std::string host = "127.0.0.10", url = path;
    std::vector<char> reply(65536, 0);
    int rc = https_get(text(host), 443, text(url), text(authorization), reply.data(), 65535);
    EXPECT_EQ(rc, ORU_OK) << path;
    return reply.data();
}

TEST(PlatformSimLibrary, RequestLayerTextsAreUnderstood) {
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    PlatformSim sim(example_platform().dump());
    ORU_REQUIRE_SIM(sim);
    std::string host = "127.0.0.10", url = "/system/user/sdklogin";
    std::string body = login_body("admin", "admin-pass");
    std::vector<char> reply(65536, 0);
    ASSERT_EQ(https_post(text(host), 443, text(url), text(body), static_cast<int>(body.size()), nullptr,
                         reply.data(), 65535),
              ORU_OK);
    auto login = nlohmann::json::parse(reply.data());
    std::string session = login["sessonId"];
    EXPECT_EQ(nlohmann::json::parse(https_get_body("/accesskeys", session))["totalSize"], 1);

    // The agent's reply is the last line of what the plain-HTTP client reads.
    std::string agent = "127.0.0.12", vm = "/vm";
    std::string request = "{\"action\": \"pre_remote_rw\", \"param\": {\"diskPath\": \"/x\", \"format\": \"raw\", "
                          "\"openFlag\": \"r\",\"volumeUuid\":\"" + std::string(kVolumeRaw) + "\"}}";
    write_file(sim.dir().file("volume-2.raw"), pattern(1 << 20, 3));
    std::vector<char> line(4096, 0);
    ASSERT_EQ(http_post(text(agent), 9753, text(vm), text(request), nullptr, line.data(), 4096), ORU_OK);
    auto port = nlohmann::json::parse(line.data(), nullptr, false);
    ASSERT_TRUE(port.is_object()) << line.data();
    EXPECT_NE(port["serverPort"], "null");

    // The journal holds the requests as the library sent them.
    std::vector<nlohmann::json> requests;
    for (const auto &entry : sim.journal())
        if (entry.contains("method")) requests.push_back(entry);
    ASSERT_EQ(requests.size(), 3u);
    auto header = [](const nlohmann::json &entry, const std::string &name) {
        for (const auto &pair : entry["headers"])
            if (pair[0] == name) return pair[1].get<std::string>();
        return std::string("<absent>");
    };
    EXPECT_EQ(requests[0]["version"], "HTTP/1.0");
    EXPECT_EQ(header(requests[0], "Host"), "127.0.0.10:443");
    EXPECT_EQ(header(requests[0], "Authorization"), "(null)");
    EXPECT_EQ(header(requests[0], "Connection"), "Keep-Alive");
    EXPECT_EQ(requests[0]["body"], body);
    EXPECT_EQ(requests[1]["version"], "HTTP/1.1");
    EXPECT_EQ(header(requests[1], "Host"), "127.0.0.10");
    EXPECT_EQ(header(requests[1], "Authorization"), session);
    EXPECT_EQ(header(requests[2], "Host"), "127.0.0.12");
    EXPECT_EQ(header(requests[2], "Authentication"), "(null)");
    EXPECT_EQ(requests[2]["body"], request);
}

TEST(PlatformSimLibrary, OpenModeTaskPolling) {
    PlatformSim sim(example_platform().dump(), {"--task-states", "RUNNING,FINISHED"});
    ORU_REQUIRE_SIM(sim);
    std::string session = login("admin", "admin-pass"), ip = "127.0.0.10", rw = "rw", r = "r";
    std::string free_volume = kVolumeQcow2, busy_volume = kVolumeInUse;
    EXPECT_EQ(setOpenMode(text(free_volume), text(rw), text(ip), text(session)), 0);
    EXPECT_EQ(setOpenMode(text(busy_volume), text(r), text(ip), text(session)), -1);
    EXPECT_EQ(curl("GET", std::string(kManagement) + "/sim/state").json()["openModes"][kVolumeQcow2], "READ_WRITE");
}

TEST(PlatformSimLibrary, RemoteVolumeEndToEnd) {
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    ORU_REQUIRE_PROGRAM("qemu-img");
    PlatformSim sim(example_platform().dump(), {"--task-states", "RUNNING,FINISHED"});
    ORU_REQUIRE_SIM(sim);
    constexpr size_t kSize = 2 << 20;
    std::string source = sim.dir().file("source.raw"), image = sim.dir().file("volume-1.qcow2");
    write_file(source, pattern(kSize, 5));
    ASSERT_EQ(run("qemu-img convert -f raw -O qcow2 " + quote(source) + " " + quote(image)).status, 0);

    // A user without a key: the connection trades the session for a new key.
    std::string ip = "127.0.0.10", user = "backup", password = "backup-pass";
    oruDiskLibConnectParams params{text(ip), text(user), text(password), nullptr};
    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(params, &connection), ORU_OK);
    auto keys = curl("GET", std::string(kManagement) + "/sim/state").json()["accessKeys"];
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1]["userId"], "user-backup");

    std::string path = "/platform/volume-1", uuid = kVolumeQcow2, store = "ds-1";
    oruDiskLibVolume volume{text(path), ORU_QCOW, text(uuid), text(store), nullptr, nullptr};
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, connection), ORU_OK)
        << oruDiskLib_GetErrorText(ORU_E_REMOTE_OPEN);
    std::vector<uint8_t> sectors(64 * 512);
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 100, 64, sectors.data()), ORU_OK);
    EXPECT_EQ(sectors, pattern(64 * 512, 5, 100 * 512));
    auto fresh = pattern(64 * 512, 6);
    EXPECT_EQ(oruDiskLib_Write(handle, &volume, 8, 64, fresh.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    oruDiskLib_Finalize(&handle);
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);

    // Host 2 was chosen (least loaded with the data store mounted) and its
    // backup-network address carried the data.
    std::string exported_by;
    for (const auto &entry : sim.journal())
        if (entry.value("event", "") == "export started") exported_by = entry["host"];
    EXPECT_EQ(exported_by, "host-2");
    EXPECT_EQ(sim.stop(), 0);
    auto expected = read_file(source);
    std::copy(fresh.begin(), fresh.end(), expected.begin() + 8 * 512);
    write_file(source, expected);
    EXPECT_EQ(run("qemu-img compare -q -f qcow2 -F raw " + quote(image) + " " + quote(source)).status, 0);
}

// Scripted platform faults as the remote open meets them: an expired
// session is renewed once, a volume in use and an agent without an export
// fail the open.
TEST(PlatformSimLibrary, ScriptedFaultsReachTheRemoteOpen) {
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    auto platform = example_platform();
    platform["faults"] = nlohmann::json::array({
        {{"path", "/storages/"}, {"times", 1}, {"code", 107001}},
        {{"service", "agent"}, {"after", 1}, {"times", 1}, {"json", {{"serverPort", "null"}}}},
    });
    PlatformSim sim(platform.dump(), {"--task-states", "FINISHED"});
    ORU_REQUIRE_SIM(sim);
    write_file(sim.dir().file("volume-2.raw"), pattern(1 << 20, 4));

    std::string ip = "127.0.0.10", user = "admin", password = "admin-pass";
    oruDiskLibConnectParams params{text(ip), text(user), text(password), nullptr};
    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(params, &connection), ORU_OK);
    std::string path = "/platform/volume-2", store = "ds-1";
    std::string raw = kVolumeRaw, busy = kVolumeInUse, busy_store = "ds-2";
    oruDiskLibVolume volume{text(path), ORU_RAW, text(raw), text(store), nullptr, nullptr};
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);

    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, connection), ORU_OK);
    std::vector<uint8_t> sectors(8 * 512);
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 8, sectors.data()), ORU_OK);
    EXPECT_EQ(sectors, pattern(8 * 512, 4));
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    int logins = 0, host_queries = 0;
    for (const auto &entry : sim.journal()) {
        std::string target = entry.value("target", "");
        logins += target == "/system/user/sdklogin";
        host_queries += target.rfind("/storages/", 0) == 0;
    }
    EXPECT_EQ(logins, 2);
    EXPECT_EQ(host_queries, 2);

    // The second agent request is scripted to make no export.
    EXPECT_NE(oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, connection), ORU_OK);
    oruDiskLibVolume in_use{text(path), ORU_RAW, text(busy), text(busy_store), nullptr, nullptr};
    EXPECT_NE(oruDiskLib_Open(&in_use, ORU_RO, "nbd", true, handle, connection), ORU_OK);
    int agent_requests = 0;
    for (const auto &entry : sim.journal()) agent_requests += entry.value("target", "") == "/vm";
    EXPECT_EQ(agent_requests, 2); // the volume in use never reached an agent
    // The handle serves again after the failed opens.
    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RO, "nbd", true, handle, connection), ORU_OK);
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 8, 8, sectors.data()), ORU_OK);
    EXPECT_EQ(sectors, pattern(8 * 512, 4, 8 * 512));
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    oruDiskLib_Finalize(&handle);
    oruDiskLib_DisConnect(connection);
}

} // namespace
} // namespace oru::test
