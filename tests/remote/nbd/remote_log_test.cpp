// The per-volume log that every remote open starts with.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "core/handle.h"
#include "remote/transport.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

const std::string kDir = "/var/log/tamb/";

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct RemoteLogTest : ::testing::Test {
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        uuid = "remote-log-test-" + std::to_string(getpid());
        path = kDir + uuid + ".log";
        mkdir(kDir.c_str(), 0777);
        unlink(path.c_str());
    }
    void TearDown() override {
        if (h.log) fclose(h.log);
        unlink(path.c_str());
    }
    oruError open_log(const char *volume_uuid, char *session) {
        oruDiskLibVolume volume{};
        volume.volumeUuid = const_cast<char *>(volume_uuid);
        oruDiskLibInConnection conn{};
        conn.sessionid = session;
        return remote_prologue(&h, &volume, &conn);
    }
    oruDiskLibInHandle h{};
    std::string uuid, path;
};

TEST_F(RemoteLogTest, EmptiesTheLogAndMasksAnAccessKeySecret) {
    write_file(path, std::vector<uint8_t>(5000, 'x'));
    h.statu = ORU_E_REMOTE_WRITE;
    ASSERT_EQ(open_log(uuid.c_str(), (char *)"ORU AK0042:very-secret-value"), ORU_OK);
    ASSERT_NE(h.log, nullptr);
    EXPECT_EQ(h.statu, 0);
    std::string text = slurp(path);
    EXPECT_EQ(text.find("very-secret"), std::string::npos) << text;
    EXPECT_NE(text.find("] - session id: :ORU AK0042:***\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('x'), std::string::npos) << "the old content must be gone";
    fclose(h.log);
    h.log = nullptr;

    // A session id is written as it is.
    ASSERT_EQ(open_log(uuid.c_str(), (char *)"5f1d2c-session"), ORU_OK);
    text = slurp(path);
    EXPECT_NE(text.find("] - session id: :5f1d2c-session\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(RemoteLogTest, RefusesUuidsThatLeaveTheDirectoryBeforeCreatingAnything) {
    oruDiskLibVolume volume{};
    EXPECT_EQ(remote_prologue(&h, &volume, nullptr), ORU_E_PARAMS);
    for (const char *bad : {"../escape-test", "a/b", ".hidden-test", "", "/abs"}) {
        EXPECT_EQ(open_log(bad, (char *)"s"), ORU_E_PARAMS) << bad;
        EXPECT_EQ(h.log, nullptr);
    }
    EXPECT_FALSE(exists("/var/log/escape-test.log"));
    EXPECT_FALSE(exists(kDir + ".hidden-test.log"));
    EXPECT_FALSE(exists(kDir + ".log"));
    oruDiskLibVolume no_uuid{};
    oruDiskLibInConnection conn{};
    EXPECT_EQ(remote_prologue(&h, &no_uuid, &conn), ORU_E_PARAMS);
}

TEST_F(RemoteLogTest, NeverFollowsALinkPlantedAsTheLog) {
    TempDir dir;
    std::string victim = dir.file("victim");
    write_file(victim, pattern(4096, 3));
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    // The open goes on without a log; nothing is written through the link.
    EXPECT_EQ(open_log(uuid.c_str(), (char *)"s"), ORU_OK);
    EXPECT_EQ(h.log, nullptr);
    EXPECT_EQ(read_file(victim), pattern(4096, 3));
}

} // namespace
