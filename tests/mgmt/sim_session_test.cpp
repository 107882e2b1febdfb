// Sessions and open modes end to end against oru-platform-sim.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "core/handle.h"
#include "mgmt/mgmt.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

extern char **environ;

namespace {

char *c(const char *text) {
    return const_cast<char *>(text);
}

constexpr const char *kServer = "127.0.0.10";

// The order of the tests below matters to the faults: the first key creation
// succeeds, later ones fail; the first logout fails once.
const char *kConfig = R"({
  "address": "127.0.0.10",
  "users": [
    { "name": "admin", "password": "admin-pass", "userId": "user-admin",
      "accessKeys": [ { "id": "AKADMIN", "secret": "SECRETADMIN" } ] },
    { "name": "backup", "password": "backup \"pass\"", "userId": "user-backup" },
    { "name": "keyless", "password": "kp", "userId": "user-keyless" }
  ],
  "hosts": [],
  "volumes": [
    { "uuid": "vol-free", "dataStore": "ds-1" },
    { "uuid": "vol-busy", "dataStore": "ds-1", "inUse": true }
  ],
  "taskStates": { "openMode": [ "RUNNING", "RUNNING", "FINISHED" ],
                  "accessKey": [ "RUNNING", "FINISHED" ] },
  "faults": [
    { "method": "POST", "path": "/accesskeys", "after": 1, "code": 500, "message": "no more keys" },
    { "method": "GET", "path": "/system/user/logout", "times": 1, "code": 107001,
      "message": "expired" }
  ]
})";

class Simulator : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new oru::test::TempDir();
        std::ofstream(dir_->file("platform.json")) << kConfig;
        std::string config = dir_->file("platform.json"), ready = dir_->file("ready"),
                    journal = dir_->file("journal.log");
        const char *argv[] = {ORU_SIM_PATH,  "--config", config.c_str(),  "--ready-file",
                              ready.c_str(), "--log",    journal.c_str(), nullptr};
        if (posix_spawn(&pid_, ORU_SIM_PATH, nullptr, nullptr, const_cast<char **>(argv),
                        environ) != 0) {
            pid_ = -1;
            return;
        }
        for (int i = 0; i < 200 && access(ready.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ready_ = access(ready.c_str(), F_OK) == 0;
    }
    static void TearDownTestSuite() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        delete dir_;
    }
    void SetUp() override {
        if (!oru::test::is_root()) GTEST_SKIP() << "port 443 needs root";
        ASSERT_TRUE(ready_) << "the simulator did not start";
    }

    static oruDiskLibInConnection *connect(const char *user, const char *password,
                                           oruError expected = ORU_OK) {
        oruDiskLibConnection connection = nullptr;
        oruDiskLibConnectParams params = {c(kServer), c(user), c(password), nullptr};
        EXPECT_EQ(oruDiskLib_Connect(params, &connection), expected) << user;
        return in_connection(connection);
    }

    static oru::test::TempDir *dir_;
    static pid_t pid_;
    static bool ready_;
};

oru::test::TempDir *Simulator::dir_ = nullptr;
pid_t Simulator::pid_ = -1;
bool Simulator::ready_ = false;

TEST_F(Simulator, SessionsAndKeys) {
    oruDiskLibInConnection *admin = connect("admin", "admin-pass");
    ASSERT_NE(admin, nullptr);
    EXPECT_STREQ(admin->sessionid, "ORU AKADMIN:SECRETADMIN");

    // A password that needs escaping logs in; the user gets a key created.
    oruDiskLibInConnection *backup = connect("backup", "backup \"pass\"");
    ASSERT_NE(backup, nullptr);
    EXPECT_EQ(std::strncmp(backup->sessionid, "ORU ", 4), 0) << backup->sessionid;

    // Key creation fails now: the session form remains, and logs out (retried).
    oruDiskLibInConnection *keyless = connect("keyless", "kp");
    ASSERT_NE(keyless, nullptr);
    EXPECT_EQ(std::strstr(keyless->sessionid, "ORU"), nullptr) << keyless->sessionid;
    auto handle = [](oruDiskLibInConnection *r) {
        return reinterpret_cast<oruDiskLibConnection>(r);
    };
    EXPECT_EQ(oruDiskLib_DisConnect(handle(keyless)), ORU_E_GET);
    EXPECT_EQ(oruDiskLib_DisConnect(handle(keyless)), ORU_OK);

    EXPECT_EQ(connect("admin", "wrong", ORU_E_ACCOUNT), nullptr);

    // The key Connect found is accepted on its own; a forged one is not.
    oruDiskLibConnection by_key = nullptr;
    oruDiskLibConnectParams key = {c(kServer), nullptr, nullptr, backup->sessionid};
    EXPECT_EQ(oruDiskLib_Set_AK(key, &by_key), ORU_OK);
    EXPECT_EQ(oruDiskLib_DisConnect(by_key), ORU_OK);
    oruDiskLibConnectParams forged = {c(kServer), nullptr, nullptr, c("ORU AKADMIN:guess")};
    nbderror[0] = '\0';
    EXPECT_EQ(oruDiskLib_Set_AK(forged, &by_key), ORU_E_ACCOUNT);
    EXPECT_EQ(by_key, nullptr);
    EXPECT_NE(nbderror[0], '\0');

    EXPECT_EQ(oruDiskLib_DisConnect(handle(admin)), ORU_OK);
    EXPECT_EQ(oruDiskLib_DisConnect(handle(backup)), ORU_OK);
}

TEST_F(Simulator, OpenModes) {
    oruDiskLibInConnection *admin = connect("admin", "admin-pass");
    ASSERT_NE(admin, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(setOpenMode(c("vol-free"), c("rw"), admin->ip, admin->sessionid), 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Two running polls: pauses of 100 and 200 ms.
    EXPECT_GE(seconds, 0.3);
    EXPECT_EQ(setOpenMode(c("vol-busy"), c("r"), admin->ip, admin->sessionid), -1);
    EXPECT_EQ(setOpenMode(c("vol-free"), c("CLOSED"), admin->ip, c("not-a-session")), 0);
    EXPECT_EQ(oruDiskLib_DisConnect(reinterpret_cast<oruDiskLibConnection>(admin)), ORU_OK);
}

} // namespace
