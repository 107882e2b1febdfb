// Host selection against oru-platform-sim: the least-loaded choice, the data
// address, the open mode, the host agent's request and every log line.
#include <cstdio>
#include <cstring>

#include "core/handle.h"
#include "https_post.h"
#include "remote_fixture.h"

using namespace oru::test;
using nlohmann::json;

namespace {

const char kSim[] = "127.0.0.10";

json host(const std::string &id, const std::string &address, double load,
          const std::string &store, json extra = json::object()) {
    json h = {{"id", id}, {"address", address}, {"cpuUsage", load}, {"dataStores", {store}}};
    h.update(extra);
    return h;
}

json volume(const std::string &uuid, const std::string &store, const std::string &image,
            json extra = json::object()) {
    json v = {{"uuid", uuid}, {"dataStore", store}, {"image", image}};
    v.update(extra);
    return v;
}

json fault(const std::string &service, const std::string &path, json reply) {
    json f = {{"service", service}, {"path", path}};
    f.update(reply);
    return f;
}

// One simulated platform for the whole suite; every case uses data stores and
// hosts of its own, so the cases do not disturb each other.
class HostSelection : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!is_root() || !have_program("qemu-nbd") || !have_program("iptables")) return;
        images_ = new TempDir;
        std::string qcow = images_->file("vol.qcow2"), raw = images_->file("vol.raw");
        run("qemu-img create -q -f qcow2 " + quote(qcow) + " 16M");
        run("qemu-img create -q -f raw " + quote(raw) + " 16M");
        json config = {
            {"address", kSim},
            {"users", platform_users()},
            {"hosts",
             {host("host-1", "127.0.0.11", 50, "ds-1"),
              host("host-2", "127.0.0.12", 20, "ds-1", {{"backupAddress", "127.0.0.22"}}),
              host("host-3", "127.0.0.13", 20, "ds-1"),
              host("host-4", "127.0.0.14", 5, "ds-1", {{"monMountState", "UNMOUNTED"}}),
              host("host-5", "127.0.0.15", 1, "ds-1", {{"status", "DISCONNECTED"}}),
              host("host-full", "127.0.0.31", 100.0, "ds-full"),
              host("host-near", "127.0.0.32", 99.9, "ds-near"),
              host("host-err", "127.0.0.33", 10, "ds-err", {{"backupAddress", "127.0.0.43"}}),
              host("host-empty", "127.0.0.34", 10, "ds-empty", {{"backupAddress", "127.0.0.44"}}),
              host("host-silent", "127.0.0.35", 10, "ds-silent", {{"backupAddress", "127.0.0.45"}}),
              host("host-null", "127.0.0.36", 10, "ds-null"),
              host("host-num", "127.0.0.37", 10, "ds-num"),
              host("host-junk", "127.0.0.38", 10, "ds-junk"),
              host("host-gone", "127.0.0.39", 10, "ds-gone", {{"agent", false}})}},
            {"volumes",
             {volume("vol-q", "ds-1", qcow), volume("vol-r", "ds-1", raw),
              volume("vol-busy", "ds-1", raw, {{"inUse", true}}),
              volume("vol-full", "ds-full", raw), volume("vol-near", "ds-near", raw),
              volume("vol-err", "ds-err", raw), volume("vol-empty", "ds-empty", raw),
              volume("vol-silent", "ds-silent", raw), volume("vol-null", "ds-null", raw),
              volume("vol-num", "ds-num", raw), volume("vol-junk", "ds-junk", raw),
              volume("vol-gone", "ds-gone", raw), volume("vol-expired", "ds-expired", raw),
              volume("vol-denied", "ds-denied", raw)}},
            {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}},
            {"faults",
             {fault("management", "/hosts/host-err/", {{"code", 100500}, {"message", "no"}}),
              fault("management", "/hosts/host-empty/", {{"json", json::parse(R"([{"portDtos": []}])")}}),
              fault("management", "/storages/ds-expired/", {{"code", 107001}, {"message", "expired"}}),
              fault("management", "/storages/ds-denied/", {{"code", 100403}, {"message", "denied"}}),
              {{"service", "agent"}, {"host", "host-null"}, {"json", {{"serverPort", "null"}}}},
              {{"service", "agent"}, {"host", "host-num"}, {"json", {{"serverPort", 10809}}}},
              {{"service", "agent"}, {"host", "host-junk"}, {"body", "exported, probably"}}}}};
        sim_ = new PlatformSim(config.dump());
        // The backup address of host-silent does not answer ping.
        run("iptables -I OUTPUT -d 127.0.0.45 -p icmp -j REJECT --reject-with icmp-host-unreachable");
    }
    static void TearDownTestSuite() {
        delete sim_;
        delete images_;
        sim_ = nullptr;
        images_ = nullptr;
    }

    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("qemu-nbd");
        ORU_REQUIRE_PROGRAM("iptables");
        ASSERT_TRUE(sim_ && sim_->ready());
        log_ = tmpfile();
        h_.log = log_;
        conn_.ip = const_cast<char *>(kSim);
        session_ = std::string("ORU ") + kKeyId + ":" + kKeySecret;
        conn_.sessionid = session_.data();
    }
    void TearDown() override {
        free(h_.ip);
        free(h_.port);
        if (log_) fclose(log_);
    }

    oruError select(const char *uuid, int format, const char *store, const char *mode = "r") {
        vol_ = {};
        vol_.diskPath = const_cast<char *>("/datastore/images/disk-1");
        vol_.diskFormat = format;
        vol_.volumeUuid = const_cast<char *>(uuid);
        vol_.dataStoreid = const_cast<char *>(store);
        mark_ = sim_->journal().size();
        return oruDiskLib_SelectHost(reinterpret_cast<oruDiskLibHandle>(&h_),
                                     reinterpret_cast<oruDiskLibConnection>(&conn_), &vol_,
                                     const_cast<char *>(mode));
    }

    // The requests this case sent, in order.
    std::vector<json> sent() const {
        auto all = sim_->journal();
        std::vector<json> mine;
        for (size_t i = mark_; i < all.size(); ++i)
            if (all[i].contains("target")) mine.push_back(all[i]);
        return mine;
    }

    std::vector<std::string> logged() {
        fflush(log_);
        rewind(log_);
        std::vector<std::string> lines;
        char buf[70000];
        while (fgets(buf, sizeof buf, log_)) {
            std::string line(buf);
            auto mark = line.find("] - ");
            lines.push_back(line.substr(mark + 4, line.size() - mark - 5));
        }
        return lines;
    }

    static PlatformSim *sim_;
    static TempDir *images_;
    oruDiskLibInHandle h_{};
    oruDiskLibInConnection conn_{};
    oruDiskLibVolume vol_{};
    std::string session_;
    FILE *log_ = nullptr;
    size_t mark_ = 0;
};

PlatformSim *HostSelection::sim_ = nullptr;
TempDir *HostSelection::images_ = nullptr;

TEST_F(HostSelection, LeastLoadedMountedHostOnItsBackupAddressWithEveryLine) {
    ASSERT_EQ(select("vol-q", ORU_QCOW, "ds-1", "rw"), ORU_OK);
    // 50/20/20: the earlier of the tied hosts; 5 (not mounted) and 1 (not
    // connected) never qualify.
    ASSERT_NE(h_.ip, nullptr);
    EXPECT_STREQ(h_.ip, "127.0.0.22") << "backup address answers ping";
    ASSERT_NE(h_.port, nullptr);
    EXPECT_GT(atoi(h_.port), 0);

    auto requests = sent();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0]["target"], "/storages/ds-1/hosts?type=available");
    EXPECT_EQ(requests[1]["target"], "/hosts/host-2/networks?type=usetypenetwork&useTypes=backup");
    EXPECT_EQ(requests[2]["target"], "/volumes?action=setOpenMode");
    EXPECT_EQ(requests[2]["body"], R"({"uuid":"vol-q","openMode":"READ_WRITE"})");
    EXPECT_EQ(requests[4]["service"], "agent host-2") << "asked on the host's own address";
    EXPECT_EQ(requests[4]["target"], "/vm");
    EXPECT_EQ(requests[4]["body"],
              R"({"action": "pre_remote_rw", "param": {"diskPath": "/datastore/images/disk-1", )"
              R"("format": "qcow2", "openFlag": "rw","volumeUuid":"vol-q"}})");
    EXPECT_EQ(header_of(requests[0], "Authorization"), session_);

    auto lines = logged();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "/storages/ds-1/hosts?type=available:" +
                            requests[0]["reply"]["body"].get<std::string>());
    EXPECT_EQ(lines[1], "/hosts/host-2/networks?type=usetypenetwork&useTypes=backup:" +
                            requests[1]["reply"]["body"].get<std::string>());
    EXPECT_EQ(lines[2], "/vm:" + requests[4]["reply"]["body"].get<std::string>());
    EXPECT_EQ(lines[3], "selectHostIp:127.0.0.12");

    // A second selection replaces the texts the handle owns.
    ASSERT_EQ(select("vol-r", ORU_LUKS, "ds-1"), ORU_OK);
    EXPECT_STREQ(h_.ip, "127.0.0.22");
    EXPECT_EQ(sent().back()["body"],
              R"({"action": "pre_remote_rw", "param": {"diskPath": "/datastore/images/disk-1", )"
              R"("format": "raw", "openFlag": "r","volumeUuid":"vol-r"}})");
    ASSERT_EQ(select("vol-r", ORU_RAW, "ds-1"), ORU_OK);
    EXPECT_NE(sent().back()["body"].get<std::string>().find(R"("format": "raw")"),
              std::string::npos);
}

TEST_F(HostSelection, LoadBoundAndMissingHosts) {
    EXPECT_EQ(select("vol-full", ORU_RAW, "ds-full"), ORU_E_GET) << "100.0 is never chosen";
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(select("vol-near", ORU_RAW, "ds-near"), ORU_OK) << "99.9 is";
    EXPECT_STREQ(h_.ip, "127.0.0.32") << "no backup network: listing \"[]\"";
    EXPECT_EQ(select("vol-x", ORU_RAW, "ds-nobody"), ORU_E_GET);
}

TEST_F(HostSelection, HostAddressWhenTheBackupNetworkIsUnusable) {
    ASSERT_EQ(select("vol-err", ORU_RAW, "ds-err"), ORU_OK);
    EXPECT_STREQ(h_.ip, "127.0.0.33") << "backup listing holds \"code\"";
    ASSERT_EQ(select("vol-empty", ORU_RAW, "ds-empty"), ORU_OK);
    EXPECT_STREQ(h_.ip, "127.0.0.34") << "empty portDtos";
    ASSERT_EQ(select("vol-silent", ORU_RAW, "ds-silent"), ORU_OK);
    EXPECT_STREQ(h_.ip, "127.0.0.35") << "backup address silent";
}

TEST_F(HostSelection, RefusalsAndTheirLogLines) {
    EXPECT_EQ(select("vol-expired", ORU_RAW, "ds-expired"), ORU_E_TIMEOUT);
    EXPECT_EQ(sent().size(), 1u) << "no request after the expiry";
    EXPECT_EQ(select("vol-denied", ORU_RAW, "ds-denied"), ORU_E_GET);
    EXPECT_EQ(select("vol-busy", ORU_RAW, "ds-1"), ORU_E_USING);
    EXPECT_EQ(sent().back()["target"].get<std::string>().rfind("/tasks/", 0), 0u)
        << "no agent request for a volume in use";
    EXPECT_EQ(select("vol-r", 5, "ds-1"), ORU_E_PARAMS);
    EXPECT_TRUE(sent().empty()) << "no request without a format word";

    EXPECT_EQ(select("vol-null", ORU_RAW, "ds-null"), ORU_E_NBD_EXPORT);
    ASSERT_EQ(select("vol-num", ORU_RAW, "ds-num"), ORU_OK);
    EXPECT_STREQ(h_.port, "10809") << "a numeric serverPort is taken as its text";

    auto before = logged().size();
    EXPECT_EQ(select("vol-junk", ORU_RAW, "ds-junk"), ORU_E_NBD_EXPORT);
    auto lines = logged();
    ASSERT_EQ(lines.size(), before + 5);
    EXPECT_EQ(lines[before + 2], "/vm:exported, probably");
    EXPECT_EQ(lines[before + 3], "selectHostIp:127.0.0.38");
    EXPECT_EQ(lines[before + 4], "/vm:cJSON_Parse failed");

    before = lines.size();
    EXPECT_EQ(select("vol-gone", ORU_RAW, "ds-gone"), ORU_E_CONNECT_FAIL);
    lines = logged();
    ASSERT_EQ(lines.size(), before + 5);
    EXPECT_EQ(lines[before + 2], "/vm:");
    EXPECT_EQ(lines[before + 3], "selectHostIp:127.0.0.39");
    EXPECT_EQ(lines[before + 4], "/vm:http_post failed");

    // The management server cannot be reached at all.
    before = lines.size();
    conn_.ip = const_cast<char *>("127.0.0.99");
    EXPECT_EQ(select("vol-r", ORU_RAW, "ds-1"), ORU_E_TCP);
    lines = logged();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), "/storages/ds-1/hosts?type=available:https_get failed");
}

} // namespace
