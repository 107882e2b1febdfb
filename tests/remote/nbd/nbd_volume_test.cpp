// Remote volumes over NBD end to end: oru-platform-sim picks the host and its
// agent starts a real qemu-nbd; the library reads and writes the image through
// it. Every successful attach waits the fixed 3 seconds, so the cases are
// grouped around as few opens as possible.
#include <cstring>

#include "oruDiskLib.h"
#include "remote_fixture.h"

using namespace oru::test;
using nlohmann::json;

namespace {

const char kSim[] = "127.0.0.10";
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kLuksHeader = 1052672;

std::string volume_log(const std::string &uuid) { return "/var/log/tamb/" + uuid + ".log"; }

json sim_volume(const std::string &uuid, const std::string &image, json extra = json::object()) {
    json v = {{"uuid", uuid}, {"dataStore", "ds-1"}, {"image", image}};
    v.update(extra);
    return v;
}

class NbdVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("qemu-nbd");
        ORU_REQUIRE_PROGRAM("qemu-img");
        ASSERT_EQ(oruDiskLib_Init(&handle_), ORU_OK);
    }
    void TearDown() override {
        if (handle_) oruDiskLib_Finalize(&handle_);
        if (conn_) oruDiskLib_DisConnect(conn_);
        for (auto &uuid : uuids_) unlink(volume_log(uuid).c_str());
    }

    // A platform with one host on ds-1 and the given volumes (and faults).
    void start_platform(json volumes, json faults = json::array()) {
        for (auto &v : volumes) uuids_.push_back(v["uuid"]);
        json config = {{"address", kSim},
                       {"users", platform_users()},
                       {"hosts",
                        {{{"id", "host-1"},
                          {"address", "127.0.0.11"},
                          {"cpuUsage", 10.0},
                          {"dataStores", {"ds-1"}}}}},
                       {"volumes", volumes},
                       {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}},
                       {"faults", faults}};
        sim_ = std::make_unique<PlatformSim>(config.dump());
        ASSERT_TRUE(sim_->ready());
    }

    void login() {
        oruDiskLibConnectParams params{const_cast<char *>(kSim), const_cast<char *>(kUser),
                                       const_cast<char *>(kPassword), nullptr};
        ASSERT_EQ(oruDiskLib_Connect(params, &conn_), ORU_OK);
    }

    oruError open(const std::string &uuid, int format, int flag, const std::string &store = "ds-1") {
        volume_ = {};
        uuid_ = uuid;
        volume_.diskPath = const_cast<char *>("/datastore/disk");
        volume_.diskFormat = format;
        volume_.volumeUuid = uuid_.data();
        store_ = store;
        volume_.dataStoreid = store_.data();
        return oruDiskLib_Open(&volume_, flag, "nbd", true, handle_, conn_);
    }

    TempDir dir_;
    std::unique_ptr<PlatformSim> sim_;
    oruDiskLibHandle handle_ = nullptr;
    oruDiskLibConnection conn_ = nullptr;
    oruDiskLibVolume volume_{};
    std::string uuid_, store_;
    std::vector<std::string> uuids_;
};

TEST_F(NbdVolume, Qcow2ReadWriteClampAndCloseWithTheirLogLines) {
    std::string image = dir_.file("q.qcow2");
    std::string seed = dir_.file("seed.raw");
    write_file(seed, pattern(8 * kMiB, 1));
    ASSERT_EQ(run("qemu-img convert -q -f raw -O qcow2 " + quote(seed) + " " + quote(image)).status, 0);
    start_platform({sim_volume("nbd-vol-qcow", image)});
    login();

    ASSERT_EQ(open("nbd-vol-qcow", ORU_QCOW, ORU_RW), ORU_OK);
    std::vector<uint8_t> got(kMiB);
    ASSERT_EQ(oruDiskLib_Read(handle_, &volume_, 2048, 2048, got.data()), ORU_OK);
    EXPECT_EQ(got, pattern(kMiB, 1, kMiB));

    auto fresh = pattern(64 * 1024, 2);
    ASSERT_EQ(oruDiskLib_Write(handle_, &volume_, 100, 128, fresh.data()), ORU_OK);

    // 8 sectors from 4 before the end: 4 are read, the rest of the buffer is kept.
    const uint64_t last = 8 * kMiB / 512;
    std::vector<uint8_t> tail(4096, 0xEE);
    ASSERT_EQ(oruDiskLib_Read(handle_, &volume_, last - 4, 8, tail.data()), ORU_OK);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 2048, pattern(2048, 1, 8 * kMiB - 2048).begin()));
    EXPECT_TRUE(std::all_of(tail.begin() + 2048, tail.end(), [](uint8_t b) { return b == 0xEE; }));
    // At and beyond the end nothing moves and nothing fails.
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, last, 8, tail.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, last + 100, 8, tail.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Write(handle_, &volume_, last - 1, 8, fresh.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 0, tail.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 65537, tail.data()), ORU_E_MAX_BUFFER);

    // A LUKS header request on a qcow2 descriptor is refused by format.
    std::vector<uint8_t> header(kLuksHeader);
    EXPECT_EQ(oruDiskLib_Header_get(handle_, &volume_, header.data()), ORU_E_FORMAT);

    size_t requests_before_close = sim_->journal().size();
    ASSERT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 8, tail.data()), ORU_E_HANDLENBD);
    EXPECT_EQ(sim_->journal().size(), requests_before_close) << "close tells the platform nothing";

    auto lines = read_log(volume_log(uuid_));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(lines[0].starts_with("session id: :ORU " + std::string(kKeyId) + ":***"));
    EXPECT_TRUE(lines[1].starts_with("/storages/ds-1/hosts?type=available:{"));
    EXPECT_TRUE(lines[2].starts_with("/hosts/host-1/networks?type=usetypenetwork&useTypes=backup:[]"));
    EXPECT_TRUE(lines[3].starts_with("/vm:{\"serverPort\":"));
    EXPECT_EQ(lines[4].text, "selectHostIp:127.0.0.11");
    EXPECT_EQ(lines[5].text, "closed success::nbd");

    // The image file holds what was written, and is still a sound qcow2.
    sim_.reset(); // stops the export first
    EXPECT_EQ(run("qemu-img check -q " + quote(image)).status, 0);
    std::string out = dir_.file("out.raw");
    ASSERT_EQ(run("qemu-img convert -q -O raw " + quote(image) + " " + quote(out)).status, 0);
    auto expected = pattern(8 * kMiB, 1);
    std::copy(fresh.begin(), fresh.end(), expected.begin() + 100 * 512);
    std::copy(fresh.begin(), fresh.begin() + 512, expected.end() - 512);
    EXPECT_TRUE(read_file(out) == expected);
}

TEST_F(NbdVolume, RawLuksVolumeWithHeaderShift) {
    const uint64_t size = 4 * kMiB;
    std::string image = dir_.file("l.raw");
    write_file(image, pattern(size, 3));
    start_platform({sim_volume("nbd-vol-luks", image)});
    login();

    ASSERT_EQ(open("nbd-vol-luks", ORU_LUKS, ORU_RW), ORU_OK);
    std::vector<uint8_t> header(kLuksHeader);
    ASSERT_EQ(oruDiskLib_Header_get(handle_, &volume_, header.data()), ORU_OK);
    EXPECT_EQ(header, pattern(kLuksHeader, 3));
    auto new_header = pattern(kLuksHeader, 4);
    ASSERT_EQ(oruDiskLib_Header_set(handle_, &volume_, new_header.data()), ORU_OK);

    std::vector<uint8_t> sector0(512);
    ASSERT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 1, sector0.data()), ORU_OK);
    EXPECT_EQ(sector0, pattern(512, 3, kLuksHeader)) << "sector 0 follows the header region";
    auto data = pattern(4096, 5);
    ASSERT_EQ(oruDiskLib_Write(handle_, &volume_, 10, 8, data.data()), ORU_OK);
    // Without a descriptor there is no shift.
    ASSERT_EQ(oruDiskLib_Read(handle_, nullptr, 0, 1, sector0.data()), ORU_OK);
    EXPECT_EQ(sector0, std::vector<uint8_t>(new_header.begin(), new_header.begin() + 512));

    ASSERT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    auto lines = read_log(volume_log(uuid_));
    EXPECT_EQ(lines.back().text, "closed success::nbd");

    sim_.reset();
    auto file = read_file(image);
    auto expected = pattern(size, 3);
    std::copy(new_header.begin(), new_header.end(), expected.begin());
    std::copy(data.begin(), data.end(), expected.begin() + kLuksHeader + 10 * 512);
    EXPECT_TRUE(file == expected);
}

TEST_F(NbdVolume, ReadOnlyExportAfterAnExpiredSession) {
    std::string image = dir_.file("r.raw");
    write_file(image, pattern(2 * kMiB, 6));
    // The first host listing answers "session expired" once.
    start_platform({sim_volume("nbd-vol-ro", image)},
                   {{{"service", "management"}, {"path", "/storages/"}, {"times", 1},
                     {"code", 107001}, {"message", "session expired"}}});
    login();
    std::string key_form = std::string("ORU ") + kKeyId + ":" + kKeySecret;

    ASSERT_EQ(open("nbd-vol-ro", ORU_RAW, ORU_RO), ORU_OK);
    auto logins = requests_to(*sim_, "/system/user/sdklogin");
    ASSERT_EQ(logins.size(), 2u) << "one login by Connect, one renewal";
    EXPECT_EQ(logins[1]["body"], std::string(R"({"username":")") + kUser +
                                     R"(", "password": ")" + kPassword +
                                     R"(", "domain": "internal", "locale": "cn", "captcha": ""})");
    EXPECT_EQ(header_of(logins[1], "Authorization"), "(null)");
    auto listings = requests_to(*sim_, "/storages/ds-1/hosts");
    ASSERT_EQ(listings.size(), 2u) << "a second selection after the renewal";
    EXPECT_EQ(header_of(listings[0], "Authorization"), key_form);
    std::string renewed = header_of(listings[1], "Authorization");
    EXPECT_NE(renewed, key_form);
    EXPECT_EQ(renewed.find("ORU"), std::string::npos) << "the session form from the new login";
    auto agents = requests_to(*sim_, "/vm");
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_NE(agents[0]["body"].get<std::string>().find(R"("openFlag": "r",)"), std::string::npos);

    std::vector<uint8_t> got(8192);
    ASSERT_EQ(oruDiskLib_Read(handle_, &volume_, 16, 16, got.data()), ORU_OK);
    EXPECT_EQ(got, pattern(8192, 6, 8192));
    EXPECT_EQ(oruDiskLib_Write(handle_, &volume_, 0, 16, got.data()), ORU_E_REMOTE_WRITE);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_REMOTE_WRITE), "nbd is read only");
    ASSERT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    auto lines = read_log(volume_log(uuid_));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].text, "write failed::nbd is read only");
    EXPECT_EQ(read_file(image), pattern(2 * kMiB, 6));
}

TEST_F(NbdVolume, FailedOpensAndTheCloseThatFollows) {
    std::string image = dir_.file("f.raw");
    write_file(image, pattern(kMiB, 8));
    start_platform(
        {sim_volume("nbd-vol-dead", image), sim_volume("nbd-vol-exp", image, {{"dataStore", "ds-x"}}),
         sim_volume("nbd-vol-relog", image, {{"dataStore", "ds-y"}}),
         sim_volume("nbd-vol-null", image, {{"dataStore", "ds-z"}})},
        {// An agent whose answer names a port where nobody listens.
         {{"service", "agent"}, {"json", {{"serverPort", "1"}}}},
         {{"service", "management"}, {"path", "/storages/ds-x/"}, {"code", 107001}, {"message", "expired"}},
         {{"service", "management"}, {"path", "/storages/ds-y/"}, {"times", 1}, {"code", 107001},
          {"message", "expired"}},
         // The first renewal (the second login) brings no session id.
         {{"service", "management"}, {"path", "/system/user/sdklogin"}, {"after", 1}, {"times", 1},
          {"json", {{"userId", "user-backup"}}}}});
    login();
    std::vector<uint8_t> buf(512);

    // Unreachable export: two "open failed:" lines, and the close releases
    // what the attach created and closes the log. A refused connect is tried
    // again until ORU_NET_TIMEOUT passes.
    setenv("ORU_NET_TIMEOUT", "1", 1);
    EXPECT_EQ(open("nbd-vol-dead", ORU_LUKS, ORU_RW), ORU_E_REMOTE_OPEN);
    unsetenv("ORU_NET_TIMEOUT");
    // Every exchange on the dead connection fails with libnbd's text, logged.
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 1, buf.data()), ORU_E_REMOTE_READ);
    EXPECT_EQ(oruDiskLib_Write(handle_, &volume_, 0, 1, buf.data()), ORU_E_REMOTE_WRITE);
    std::vector<uint8_t> header(kLuksHeader);
    EXPECT_EQ(oruDiskLib_Header_get(handle_, &volume_, header.data()), ORU_E_REMOTE_READ);
    EXPECT_EQ(oruDiskLib_Header_set(handle_, &volume_, header.data()), ORU_E_REMOTE_WRITE);
    std::string libnbd_text = oruDiskLib_GetErrorText(ORU_E_REMOTE_WRITE);
    EXPECT_FALSE(libnbd_text.empty());
    EXPECT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    auto lines = read_log(volume_log("nbd-vol-dead"));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_TRUE(lines[5].starts_with("open failed::"));
    EXPECT_TRUE(lines[6].starts_with("open failed::"));
    EXPECT_TRUE(lines[7].starts_with("read failed::"));
    EXPECT_TRUE(lines[8].starts_with("write failed::"));
    EXPECT_TRUE(lines[9].starts_with("get luks hearder failed::"));
    EXPECT_EQ(lines[10].text, "write luks header failed::" + libnbd_text);
    EXPECT_EQ(lines[11].text, "closed success::nbd");

    // A renewal whose reply lacks "sessonId": ORU_E_POST, host selection is
    // not repeated, and the connection keeps its authorization value.
    EXPECT_EQ(open("nbd-vol-relog", ORU_RAW, ORU_RW, "ds-y"), ORU_E_POST);
    EXPECT_EQ(requests_to(*sim_, "/storages/ds-y/").size(), 1u);
    EXPECT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    EXPECT_EQ(open("nbd-vol-null", ORU_RAW, ORU_RW, "ds-z"), ORU_E_GET) << "ds-z has no host";
    auto last = requests_to(*sim_, "/storages/ds-z/");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(header_of(last[0], "Authorization"),
              std::string("ORU ") + kKeyId + ":" + kKeySecret);
    EXPECT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    lines = read_log(volume_log("nbd-vol-null"));
    ASSERT_EQ(lines.size(), 2u) << "session line and the listing; the log was closed";

    // Expired session, renewal that keeps expiring: the second selection's
    // failure is returned and no NBD connection is tried.
    EXPECT_EQ(open("nbd-vol-exp", ORU_RAW, ORU_RW, "ds-x"), ORU_E_TIMEOUT);
    EXPECT_EQ(requests_to(*sim_, "/storages/ds-x/").size(), 2u);
    EXPECT_EQ(oruDiskLib_Read(handle_, &volume_, 0, 1, buf.data()), ORU_E_HANDLENBD);
    volume_.diskFormat = ORU_LUKS;
    EXPECT_EQ(oruDiskLib_Header_get(handle_, &volume_, header.data()), ORU_E_HANDLENBD);
    EXPECT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);

    // An access-key connection cannot renew a session: no login is sent.
    oruDiskLibConnection key_conn = nullptr;
    std::string key = std::string("ORU ") + kKeyId + ":" + kKeySecret;
    oruDiskLibConnectParams params{const_cast<char *>(kSim), nullptr, nullptr, key.data()};
    ASSERT_EQ(oruDiskLib_Set_AK(params, &key_conn), ORU_OK);
    size_t logins = requests_to(*sim_, "/system/user/sdklogin").size();
    volume_.diskFormat = ORU_RAW;
    EXPECT_EQ(oruDiskLib_Open(&volume_, ORU_RW, "nbd", true, handle_, key_conn), ORU_E_PARAMS);
    EXPECT_EQ(requests_to(*sim_, "/system/user/sdklogin").size(), logins);
    EXPECT_EQ(oruDiskLib_Close(handle_, &volume_), ORU_OK);
    oruDiskLib_DisConnect(key_conn);
}

} // namespace
