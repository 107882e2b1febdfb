// orudisk on a remote volume over NBD: oru-platform-sim logs the tool in and
// has a real qemu-nbd export the image. The map must be the image's as qemu
// sees it, a full copy must read only the data and equal the image for
// qemu-img compare, and a restore into it must leave it equal to the backup.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/platform_sim.h"
#include "support/test_support.h"
#include "zero_map.h"

using namespace oru::test;
using nlohmann::json;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr char kServer[] = "127.0.0.10";

std::string orudisk() {
    const char *dir = std::getenv("ORU_BINARY_DIR");
    return quote(std::string(dir ? dir : ".") + "/tools/orudisk/orudisk");
}

TEST(OrudiskRemote, MapAndFullCopyFollowTheExportsExtents) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    // Data in a few places, a zeroed cluster, nothing anywhere else.
    std::string image = dir.file("volume.qcow2");
    auto r =
        run("qemu-img create -q -f qcow2 " + quote(image) +
                " 256M && qemu-io -c 'write -P 0x11 0 1M' "
                "-c 'write -P 0x22 100M 3M' -c 'write -z 120M 1M' -c 'write -P 0x33 255M 1M' " +
                quote(image),
            true);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string uuid = "orudisk-remote-" + std::to_string(getpid());
    json config = {
        {"address", kServer},
        {"users", {{{"name", "backup"}, {"password", "backup-pass"}}}},
        {"hosts", {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}}}},
        {"volumes", {{{"uuid", uuid}, {"dataStore", "ds-1"}, {"image", image}}}},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    std::string password = dir.file("password");
    std::ofstream(password) << "backup-pass\n";
    std::string volume = " --server " + std::string(kServer) + " --user backup --password-file " +
                         quote(password) + " --uuid " + uuid +
                         " --datastore ds-1 --path /datastores/ds-1/disk --format qcow2" +
                         " --transport nbd";

    r = run(orudisk() + " map --json" + volume);
    ASSERT_EQ(r.status, 0) << r.out;
    ZeroMap expected = qemu_map(image);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(zero_map(json::parse(r.out)), expected);

    std::string copy = dir.file("copy.raw");
    r = run(orudisk() + " --json copy" + volume + " -o " + quote(copy));
    ASSERT_EQ(r.status, 0) << r.out;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["virtual_size"], 256 * kMiB);
    EXPECT_EQ(doc["bytes_read"], 5 * kMiB);
    r = run("qemu-img compare -f qcow2 -F raw " + quote(image) + " " + quote(copy), true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(qemu_map(copy, "-f raw"), expected);

    // A restore into the volume: the backup's data is written and the old
    // data elsewhere zeroed; what the export reads as zeros already is not
    // touched.
    std::string backup = dir.file("backup.qcow2");
    r = run("qemu-img create -q -f qcow2 " + quote(backup) + " 256M && qemu-io -c 'write -P 0x44 50M 2M' " +
                quote(backup),
            true);
    ASSERT_EQ(r.status, 0) << r.out;
    r = run(orudisk() + " --json restore --from " + quote(backup) + volume);
    ASSERT_EQ(r.status, 0) << r.out;
    doc = json::parse(r.out);
    EXPECT_EQ(doc["bytes_written"], 2 * kMiB);
    EXPECT_EQ(doc["bytes_zeroed"], 5 * kMiB);
    // -U: the simulator's qemu-nbd still holds the image open for writing.
    r = run("qemu-img compare -U -f qcow2 -F qcow2 " + quote(image) + " " + quote(backup), true);
    EXPECT_EQ(r.status, 0) << r.out;
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
}

} // namespace
