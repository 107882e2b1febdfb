// The simulated management server, driven with curl as an integrator would:
// the documented replies of each request, authorization, task progress and
// its effects, and scripted faults.
#include "sim_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace oru::test {
namespace {

const std::string M = kManagement;

bool has_code(const CurlReply &reply) { return reply.body.find("code") != std::string::npos; }

TEST(PlatformSimManagement, LoginKeysInfoAndLogout) {
    PlatformSim sim(example_platform().dump());
    ORU_REQUIRE_SIM(sim);

    auto good = curl("POST", M + "/system/user/sdklogin", "", login_body("admin", "admin-pass"));
    ASSERT_EQ(good.status, 200) << good.body;
    EXPECT_FALSE(has_code(good));
    auto session = good.json()["sessonId"].get<std::string>();
    EXPECT_EQ(good.json()["userId"], "user-admin");
    EXPECT_EQ(session.find("ORU"), std::string::npos);

    auto wrong = curl("POST", M + "/system/user/sdklogin", "", login_body("admin", "nope"));
    EXPECT_EQ(wrong.json()["code"], 107002) << wrong.body;
    EXPECT_TRUE(wrong.json()["message"].is_string());
    // A body that is not JSON (a password with an unescaped quote) is refused, not a crash.
    auto broken = curl("POST", M + "/system/user/sdklogin", "", login_body("admin", "a\"b"));
    EXPECT_EQ(broken.json()["code"], 100400) << broken.body;

    auto keys = curl("GET", M + "/accesskeys", session).json();
    ASSERT_EQ(keys["totalSize"], 1) << keys;
    EXPECT_EQ(keys["items"][0]["userId"], "user-admin");
    EXPECT_EQ(keys["items"][0]["accessKeyId"], "AKADMIN00000000001");
    EXPECT_EQ(keys["items"][0]["accessKeySecret"], "ADMINSECRET0000000000000000000001");

    // The access-key form is accepted everywhere a session is.
    auto info = curl("GET", M + "/system/user/info", "ORU AKADMIN00000000001:ADMINSECRET0000000000000000000001");
    EXPECT_EQ(info.json()["userId"], "user-admin") << info.body;
    auto bad_key = curl("GET", M + "/system/user/info", "ORU AKADMIN00000000001:wrong");
    EXPECT_EQ(bad_key.json()["code"], 107003);
    EXPECT_TRUE(bad_key.json()["message"].is_string());

    EXPECT_EQ(curl("GET", M + "/accesskeys", "no-such-session").json()["code"], 107001);
    EXPECT_EQ(curl("GET", M + "/accesskeys").json()["code"], 107001);

    auto logout = curl("GET", M + "/system/user/logout", session);
    EXPECT_EQ(logout.status, 200);
    EXPECT_FALSE(has_code(logout)) << logout.body;
    // The session is over: it now counts as expired.
    EXPECT_EQ(curl("GET", M + "/accesskeys", session).json()["code"], 107001);
}

TEST(PlatformSimManagement, AccessKeyCreationTaskProgress) {
    PlatformSim sim(example_platform().dump(), {"--key-task-states", "RUNNING,RUNNING,FINISHED"});
    ORU_REQUIRE_SIM(sim);
    std::string session = login("backup", "backup-pass");
    ASSERT_FALSE(session.empty());

    auto created = curl("POST", M + "/accesskeys", session, "{\"userId\":\"user-backup\"}").json();
    ASSERT_TRUE(created["taskId"].is_string()) << created;
    std::string task = M + "/tasks/" + created["taskId"].get<std::string>();
    // The key appears only once the task has finished.
    EXPECT_EQ(curl("GET", task, session).json()["state"], "RUNNING");
    EXPECT_EQ(curl("GET", M + "/accesskeys", session).json()["totalSize"], 1);
    EXPECT_EQ(curl("GET", task, session).json()["state"], "RUNNING");
    EXPECT_EQ(curl("GET", task, session).json()["state"], "FINISHED");
    EXPECT_EQ(curl("GET", task, session).json()["state"], "FINISHED");

    auto keys = curl("GET", M + "/accesskeys", session);
    EXPECT_FALSE(has_code(keys)) << keys.body;
    auto listing = keys.json();
    ASSERT_EQ(listing["totalSize"], 2);
    auto mine = listing["items"][1];
    EXPECT_EQ(mine["userId"], "user-backup");
    std::string form = "ORU " + mine["accessKeyId"].get<std::string>() + ":" + mine["accessKeySecret"].get<std::string>();
    EXPECT_EQ(curl("GET", M + "/system/user/info", form).json()["userId"], "user-backup");

    EXPECT_EQ(curl("POST", M + "/accesskeys", session, "{\"userId\":\"nobody\"}").json()["code"], 100404);
    EXPECT_EQ(curl("GET", M + "/tasks/no-such-task", session).json()["code"], 100404);
}

TEST(PlatformSimManagement, OpenModeTasksHostsAndBackupNetwork) {
    PlatformSim sim(example_platform().dump());
    ORU_REQUIRE_SIM(sim);
    std::string session = login("admin", "admin-pass");
    ASSERT_FALSE(session.empty());
    auto set_mode = [&](const std::string &uuid, const std::string &mode) {
        return curl("PUT", M + "/volumes?action=setOpenMode", session,
                    "{\"uuid\":\"" + uuid + "\",\"openMode\":\"" + mode + "\"}");
    };
    auto states = [&](const CurlReply &reply) {
        std::vector<std::string> seen;
        std::string task = M + "/tasks/" + reply.json()["taskId"].get<std::string>();
        for (int i = 0; i < 4; ++i) seen.push_back(curl("GET", task, session).json()["state"]);
        return seen;
    };
    using V = std::vector<std::string>;
    auto rw = set_mode(kVolumeQcow2, "READ_WRITE");
    ASSERT_FALSE(has_code(rw)) << rw.body;
    EXPECT_EQ(states(rw), (V{"RUNNING", "RUNNING", "FINISHED", "FINISHED"}));
    EXPECT_EQ(curl("GET", M + "/sim/state").json()["openModes"][kVolumeQcow2], "READ_WRITE");
    // A volume in use elsewhere: the task ends in ERROR and nothing is recorded.
    EXPECT_EQ(states(set_mode(kVolumeInUse, "READ")), (V{"RUNNING", "RUNNING", "ERROR", "ERROR"}));
    EXPECT_FALSE(curl("GET", M + "/sim/state").json()["openModes"].contains(kVolumeInUse));
    EXPECT_EQ(set_mode(kVolumeQcow2, "WRITE").json()["code"], 100400);
    EXPECT_EQ(set_mode("no-such-volume", "READ").json()["code"], 100404);
    EXPECT_EQ(curl("PUT", M + "/volumes?action=resize", session, "{}").json()["code"], 100400);

    auto hosts = curl("GET", M + "/storages/ds-1/hosts?type=available", session);
    EXPECT_FALSE(has_code(hosts)) << hosts.body;
    auto items = hosts.json()["items"];
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], (nlohmann::json{{"id", "host-1"}, {"name", "127.0.0.11"}, {"cpuUsage", 50.0},
                                        {"status", "CONNECTED"}, {"monMountState", "MOUNTED"}}));
    EXPECT_EQ(items[2]["monMountState"], "UNMOUNTED");
    EXPECT_TRUE(items[2]["cpuUsage"].is_number());
    auto ds2 = curl("GET", M + "/storages/ds-2/hosts?type=available", session).json()["items"];
    ASSERT_EQ(ds2.size(), 1u);
    EXPECT_EQ(ds2[0]["id"], "host-2");
    EXPECT_EQ(curl("GET", M + "/storages/ds-9/hosts?type=available", session).json()["code"], 100404);

    auto network = curl("GET", M + "/hosts/host-2/networks?type=usetypenetwork&useTypes=backup", session).json();
    ASSERT_TRUE(network.is_array());
    EXPECT_EQ(network[0]["portDtos"][0]["ip"], "127.0.0.22");
    auto none = curl("GET", M + "/hosts/host-3/networks?type=usetypenetwork&useTypes=backup", session);
    EXPECT_EQ(none.body, "[]");
    EXPECT_EQ(curl("GET", M + "/hosts/host-9/networks", session).json()["code"], 100404);
}

TEST(PlatformSimManagement, ScriptedFaultsFireInTurn) {
    auto platform = example_platform();
    platform["faults"] = nlohmann::json::array({
        // The first hosts query finds the session expired, the next ones work.
        {{"path", "/storages/"}, {"times", 1}, {"code", 107001}},
        // The second login attempt is refused, whatever the password.
        {{"path", "/system/user/sdklogin"}, {"after", 1}, {"times", 1}, {"code", 107002}, {"message", "locked"}},
        {{"method", "GET"}, {"path", "/hosts/host-1/networks"}, {"body", "[]"}},
        {{"path", "/system/user/info"}, {"close", true}},
        {{"path", "/tasks/"}, {"json", {{"state", "ERROR"}}}},
        {{"service", "agent"}, {"host", "host-2"}, {"json", {{"serverPort", "null"}}}},
    });
    PlatformSim sim(platform.dump());
    ORU_REQUIRE_SIM(sim);

    std::string session = login("admin", "admin-pass");
    ASSERT_FALSE(session.empty());
    auto locked = curl("POST", M + "/system/user/sdklogin", "", login_body("admin", "admin-pass")).json();
    EXPECT_EQ(locked, (nlohmann::json{{"code", 107002}, {"message", "locked"}}));
    EXPECT_FALSE(login("admin", "admin-pass").empty());

    std::string hosts = M + "/storages/ds-1/hosts?type=available";
    auto expired = curl("GET", hosts, session);
    EXPECT_EQ(expired.json()["code"], 107001) << expired.body;
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(curl("GET", hosts, session).json()["items"].size(), 3u);

    EXPECT_EQ(curl("GET", M + "/hosts/host-1/networks?type=usetypenetwork&useTypes=backup", session).body, "[]");
    EXPECT_EQ(curl("GET", M + "/tasks/anything", session).json()["state"], "ERROR");
    // No reply at all: curl sees the connection end (its exit status 52).
    EXPECT_EQ(curl("GET", M + "/system/user/info", session).status, -1);

    auto agent = curl("POST", "http://127.0.0.12:9753/vm", "", "{}");
    EXPECT_EQ(agent.json()["serverPort"], "null");

    // Every request is in the journal, the fired rule named beside it.
    int faults = 0, requests = 0;
    for (const auto &line : sim.journal()) {
        if (!line.contains("method")) continue;
        ++requests;
        if (line.contains("note") && line["note"].get<std::string>().rfind("fault", 0) == 0) ++faults;
    }
    EXPECT_EQ(requests, 9);
    EXPECT_EQ(faults, 6);
}

TEST(PlatformSimManagement, ClientsThatSpeakNoHttpsDoNotStopIt) {
    ORU_REQUIRE_PROGRAM("openssl");
    PlatformSim sim(example_platform().dump());
    ORU_REQUIRE_SIM(sim);
    // Plain HTTP on the TLS port, a connection that sends nothing, a TLS
    // client that sends no request: each is journalled and the next works.
    EXPECT_EQ(curl("GET", "http://127.0.0.10:443/accesskeys").status, -1);
    EXPECT_EQ(run("bash -c 'exec 3<>/dev/tcp/127.0.0.10/443; exec 3<&-'").status, 0);
    EXPECT_EQ(run("openssl s_client -connect 127.0.0.10:443 </dev/null >/dev/null 2>&1").status, 0);
    EXPECT_FALSE(login("admin", "admin-pass").empty());

    // A client holding a connection open that says nothing (the library
    // connects before it waits for its exchange lock) holds up no other.
    int idle = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(443);
    inet_pton(AF_INET, "127.0.0.10", &where.sin_addr);
    ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(login("admin", "admin-pass").empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    close(idle);

    int unreadable = 0;
    for (const auto &line : sim.journal()) unreadable += line.contains("unreadable");
    EXPECT_GE(unreadable, 3);
}

TEST(PlatformSimManagement, PlatformFromFlags) {
    PlatformSim sim("{}", {"--user", "ops:pw", "--host",
                           "id=h9,address=127.0.0.31,backupAddress=127.0.0.41,cpuUsage=7.5,dataStores=dsx+dsy",
                           "--volume", "uuid=v-1,dataStore=dsx,inUse=true", "--task-states", "FINISHED"});
    ORU_REQUIRE_SIM(sim);
    std::string session = login("ops", "pw");
    ASSERT_FALSE(session.empty());
    auto items = curl("GET", M + "/storages/dsy/hosts?type=available", session).json()["items"];
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]["name"], "127.0.0.31");
    EXPECT_EQ(items[0]["cpuUsage"], 7.5);
    auto task = curl("PUT", M + "/volumes?action=setOpenMode", session, "{\"uuid\":\"v-1\",\"openMode\":\"READ\"}");
    EXPECT_EQ(curl("GET", M + "/tasks/" + task.json()["taskId"].get<std::string>(), session).json()["state"], "ERROR");
    EXPECT_EQ(curl("POST", "http://127.0.0.31:9753/vm", "", "{}").json()["serverPort"], "null");
}

TEST(PlatformSimManagement, RefusesBadConfigurations) {
    ORU_REQUIRE_ROOT();
    auto platform = example_platform();
    platform["faults"] = nlohmann::json::array({{{"path", "/x"}}}); // no reply given
    PlatformSim no_reply(platform.dump());
    EXPECT_FALSE(no_reply.ready());
    EXPECT_EQ(no_reply.stop(), 2);
    PlatformSim not_json("{ users: ");
    EXPECT_EQ(not_json.stop(), 2);
}

} // namespace
} // namespace oru::test
