// Incremental backups from qemu's persistent dirty bitmaps on a remote
// volume: oru-platform-sim exports the image's bitmaps through a real
// qemu-nbd, the library reads them as "qemu:dirty-bitmap:" contexts. Its
// answers must be nbdinfo's over the same export, a bitmap the export does
// not offer must fail with a text that says so, and a full backup plus an
// incremental one over it must read exactly as the volume (qemu-img compare).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/platform_sim.h"
#include "support/test_support.h"

using namespace oru::test;
using nlohmann::json;

namespace {

constexpr uint64_t kKiB = 1024, kMiB = 1024 * kKiB;
constexpr char kServer[] = "127.0.0.10";
constexpr char kHost[] = "127.0.0.11";

std::string orudisk() {
    const char *dir = std::getenv("ORU_BINARY_DIR");
    return quote(std::string(dir ? dir : ".") + "/tools/orudisk/orudisk");
}

// (start, length, dirty) runs, neighbours of one kind joined.
using DirtyMap = std::vector<std::tuple<uint64_t, uint64_t, bool>>;

void add_run(DirtyMap &runs, uint64_t start, uint64_t length, bool dirty) {
    if (!runs.empty() && std::get<2>(runs.back()) == dirty &&
        std::get<0>(runs.back()) + std::get<1>(runs.back()) == start)
        std::get<1>(runs.back()) += length;
    else
        runs.emplace_back(start, length, dirty);
}

DirtyMap orudisk_map(const json &list) {
    DirtyMap runs;
    for (const auto &e : list) add_run(runs, e["start"], e["length"], e["dirty"]);
    return runs;
}

// nbdinfo's own reading of the bitmap: bit 0 of the type is "dirty".
DirtyMap nbdinfo_map(const std::string &uri, const std::string &bitmap) {
    auto r = run("nbdinfo --json --map=qemu:dirty-bitmap:" + bitmap + " " + quote(uri));
    DirtyMap runs;
    if (r.status != 0) return runs;
    for (const auto &e : json::parse(r.out)) {
        uint64_t type = e["type"];
        add_run(runs, e["offset"], e["length"], (type & 1) != 0);
    }
    return runs;
}

class OrudiskChanged : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("qemu-nbd");
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
        ORU_REQUIRE_PROGRAM("nbdinfo");
        image_ = dir_.file("volume.qcow2");
        password_ = dir_.file("password");
        std::ofstream(password_) << "backup-pass\n";
    }
    void TearDown() override {
        for (const auto &uuid : {uuid_, plain_uuid_})
            unlink(("/var/log/tamb/" + uuid + ".log").c_str());
    }

    // The platform: the image exported with its bitmaps, and a copy of it
    // whose exports offer none.
    json config(const std::string &plain_image) const {
        json volumes = {{{"uuid", uuid_}, {"dataStore", "ds-1"}, {"image", image_}, {"bitmaps", true}}};
        if (!plain_image.empty())
            volumes.push_back({{"uuid", plain_uuid_}, {"dataStore", "ds-1"}, {"image", plain_image}});
        return {{"address", kServer},
                {"users", {{{"name", "backup"}, {"password", "backup-pass"}}}},
                {"hosts", {{{"id", "host-1"}, {"address", kHost}, {"dataStores", {"ds-1"}}}}},
                {"volumes", volumes},
                {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    }

    std::string volume(const std::string &uuid) const {
        return " --server " + std::string(kServer) + " --user backup --password-file " +
               quote(password_) + " --uuid " + uuid +
               " --datastore ds-1 --path /datastores/ds-1/disk --format qcow2 --transport nbd";
    }

    static std::string export_uri(const PlatformSim &sim, const std::string &uuid) {
        std::ifstream journal(sim.log_path());
        std::string port;
        for (std::string line; std::getline(journal, line);) {
            json entry = json::parse(line, nullptr, false);
            if (entry.value("event", "") == "export started" && entry.value("volumeUuid", "") == uuid)
                port = std::to_string(entry["port"].get<int>());
        }
        return port.empty() ? "" : "nbd://" + std::string(kHost) + ":" + port + "/" + uuid;
    }

    TempDir dir_;
    std::string image_, password_;
    std::string uuid_ = "orudisk-changed-" + std::to_string(getpid());
    std::string plain_uuid_ = "orudisk-plain-" + std::to_string(getpid());
};

TEST_F(OrudiskChanged, ListAndQueryMatchNbdinfoAndAMissingBitmapFails) {
    // b0 at 64 KiB granularity sees every write; b1 at 4 KiB only the later
    // ones, some of them smaller than b0's granularity.
    auto r = run("qemu-img create -q -f qcow2 " + quote(image_) + " 256M && " +
                     "qemu-img bitmap --add --enable " + quote(image_) + " b0 && " +
                     "qemu-io -c 'write -P 0x11 0 1M' -c 'write -P 0x22 100M 3M' " + quote(image_) +
                     " && qemu-img bitmap --add --enable -g 4096 " + quote(image_) + " b1 && " +
                     "qemu-io -c 'write -P 0x33 130M 4k' -c 'write -z 140M 8k' " +
                     "-c 'write -P 0x44 250M 1536k' " + quote(image_),
                 true);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string plain = dir_.file("plain.qcow2");
    ASSERT_EQ(run("cp " + quote(image_) + " " + quote(plain)).status, 0);
    PlatformSim sim(config(plain).dump());
    ASSERT_TRUE(sim.ready());

    r = run(orudisk() + " --json bitmaps" + volume(uuid_));
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> names;
    const json listed = json::parse(r.out);
    for (const auto &b : listed["bitmaps"]) names.push_back(b["name"]);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"b0", "b1"}));

    const std::string uri = export_uri(sim, uuid_);
    ASSERT_FALSE(uri.empty());
    for (const std::string bitmap : {"b0", "b1"}) {
        r = run(orudisk() + " --json map --changed " + bitmap + volume(uuid_));
        ASSERT_EQ(r.status, 0) << r.out;
        DirtyMap expected = nbdinfo_map(uri, bitmap);
        ASSERT_GT(expected.size(), 4u) << bitmap;
        EXPECT_EQ(orudisk_map(json::parse(r.out)), expected) << bitmap;
    }

    // Neither an unknown name nor an export without bitmaps may pass for
    // "nothing changed".
    for (const auto &[uuid, bitmap] : {std::pair{uuid_, "nope"}, std::pair{plain_uuid_, "b0"}}) {
        r = run(orudisk() + " map --changed " + bitmap + volume(uuid), true);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("offers no dirty bitmap \"" + std::string(bitmap) + "\""),
                  std::string::npos)
            << r.out;
    }
    r = run(orudisk() + " --json bitmaps" + volume(plain_uuid_));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(json::parse(r.out)["bitmaps"].empty()) << r.out;
}

TEST_F(OrudiskChanged, FullPlusIncrementalReadsAsTheVolume) {
    auto r = run("qemu-img create -q -f qcow2 " + quote(image_) + " 128M && " +
                     "qemu-io -c 'write -P 0x11 0 8M' -c 'write -P 0x22 64M 8M' " + quote(image_) +
                     " && qemu-img bitmap --add --enable " + quote(image_) + " b0",
                 true);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string full = dir_.file("full.qcow2"), incr = dir_.file("incr.qcow2");
    {
        PlatformSim sim(config("").dump());
        ASSERT_TRUE(sim.ready());
        r = run(orudisk() + " copy" + volume(uuid_) + " -o " + quote(full) +
                " --target-format qcow2");
        ASSERT_EQ(r.status, 0) << r.out;
    } // the export ends: the image is written next
    // New data, data overwritten, old data zeroed (the incremental must hide
    // the full backup's bytes there), and a write of zeros over nothing.
    r = run("qemu-io -c 'write -P 0x33 1M 1M' -c 'write -P 0x44 100M 2M' "
            "-c 'write -z 66M 1M' -c 'write -P 0 120M 64k' " + quote(image_),
            true);
    ASSERT_EQ(r.status, 0) << r.out;
    const uint64_t changed = 1 * kMiB + 2 * kMiB + 1 * kMiB + 64 * kKiB;

    PlatformSim sim(config("").dump());
    ASSERT_TRUE(sim.ready());
    r = run(orudisk() + " --json copy" + volume(uuid_) + " --changed b0 --backing " + quote(full) +
            " -o " + quote(incr) + " --target-format qcow2");
    ASSERT_EQ(r.status, 0) << r.out;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["mode"], "changed");
    EXPECT_EQ(doc["bytes_read"], changed);
    sim.stop();
    r = run("qemu-img compare " + quote(incr) + " " + quote(image_), true);
    EXPECT_EQ(r.status, 0) << r.out;
    r = run("qemu-img check " + quote(incr), true);
    EXPECT_EQ(r.status, 0) << r.out;

    // The same from the local image, whose bitmaps the library reads itself.
    r = run(orudisk() + " --json bitmaps " + quote(image_));
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_FALSE(json::parse(r.out)["bitmaps"].empty()) << r.out;
    const std::string local_incr = dir_.file("local-incr.qcow2");
    r = run(orudisk() + " --json copy " + quote(image_) + " --changed b0 --backing " + quote(full) +
            " -o " + quote(local_incr) + " --target-format qcow2");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(json::parse(r.out)["bytes_read"], changed);
    r = run("qemu-img compare " + quote(local_incr) + " " + quote(image_), true);
    EXPECT_EQ(r.status, 0) << r.out;
}

} // namespace
