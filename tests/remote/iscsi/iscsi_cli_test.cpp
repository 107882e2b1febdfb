// orudisk on a "lanfree" volume: the management server (oru-platform-sim)
// only checks the access key; the bytes travel over iSCSI from a real tgtd.
// A backup must equal the LUN for qemu-img compare, and a restore must put
// the image's bytes on the LUN.
#include <fstream>
#include <string>

#include "iscsi_file_bytes.h"
#include "support/platform_sim.h"
#include "support/test_support.h"
#include "tgt_target.h"

using namespace oru::test;
using nlohmann::json;

namespace {

constexpr char kSim[] = "127.0.0.4";
constexpr char kPortal[] = "127.0.0.5";
constexpr char kIqn[] = "iqn.2024-01.test.oru:cli";
constexpr char kInitiator[] = "iqn.2024-01.test.oru:orudisk";
constexpr char kKeyId[] = "AKCLI0000000000001";
constexpr char kKeySecret[] = "CLISECRET000000000000000000000001";
constexpr uint64_t kLunBytes = 8 * 1024 * 1024;

std::string orudisk() {
    const char *build = getenv("ORU_BINARY_DIR");
    return std::string(build ? build : ".") + "/tools/orudisk/orudisk";
}

class OrudiskLanfree : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("tgtd");
        ORU_REQUIRE_PROGRAM("qemu-img");
        if (access(orudisk().c_str(), X_OK) != 0) GTEST_SKIP() << "orudisk is not built";
        if (access(PlatformSim::binary().c_str(), X_OK) != 0)
            GTEST_SKIP() << "oru-platform-sim is not built";
        json config = {{"address", kSim},
                       {"users",
                        {{{"name", "backup"},
                          {"password", "backup-pass"},
                          {"userId", "user-backup"},
                          {"accessKeys", {{{"id", kKeyId}, {"secret", kKeySecret}}}}}}},
                       {"hosts", json::array()},
                       {"volumes", json::array()},
                       {"faults", json::array()}};
        sim = std::make_unique<PlatformSim>(config.dump());
        ASSERT_TRUE(sim->ready());
        std::ofstream(key_file) << kKeyId << ":" << kKeySecret << "\n";
        ASSERT_TRUE(make_sparse_file(lun, kLunBytes));
        target = std::make_unique<TgtTarget>(kPortal);
        ASSERT_TRUE(target->ok() && target->add_lun(1, kIqn, 1, lun, 512)) << target->error();
    }
    void TearDown() override { unlink(("/var/log/tamb/" + uuid + ".log").c_str()); }

    std::string volume_options() const {
        return " --server " + std::string(kSim) + " --access-key-file " + quote(key_file) +
               " --uuid " + uuid + " --format raw --transport lanfree --target-url " +
               quote(target->url(kIqn, 1)) + " --initiator " + kInitiator + " --size " +
               std::to_string(kLunBytes);
    }

    TempDir dir;
    std::string lun = dir.file("lun.img"), key_file = dir.file("key");
    std::string uuid = "iscsi-cli-test-" + std::to_string(getpid());
    std::unique_ptr<PlatformSim> sim;
    std::unique_ptr<TgtTarget> target;
};

TEST_F(OrudiskLanfree, BackupAndRestoreGoThroughTheLun) {
    ASSERT_TRUE(put_file_bytes(lun, 0, pattern(kLunBytes / 2, 1)));
    const std::string backup = dir.file("backup.raw");
    CommandResult r = run(orudisk() + " copy" + volume_options() + " -o " + quote(backup), true);
    ASSERT_EQ(r.status, 0) << r.out;
    r = run("qemu-img compare -f raw -F raw " + quote(backup) + " " + quote(lun), true);
    EXPECT_EQ(r.status, 0) << r.out;

    const std::string image = dir.file("image.raw");
    write_file(image, pattern(kLunBytes, 2));
    r = run(orudisk() + " restore" + volume_options() + " --from " + quote(image), true);
    ASSERT_EQ(r.status, 0) << r.out;
    r = run("qemu-img compare -f raw -F raw " + quote(image) + " " + quote(lun), true);
    EXPECT_EQ(r.status, 0) << r.out;
}

} // namespace
