// "lanfree" volumes through the public interface, against a real tgtd: which
// opens reach the iSCSI target, the LUKS shift, and what a failed login
// leaves for the caller.
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/handle.h"
#include "iscsi_file_bytes.h"
#include "oruDiskLib.h"
#include "support/test_support.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr char kPortal[] = "127.0.0.3";
constexpr char kUnusedPortal[] = "127.0.0.99";
constexpr char kNoManagementServer[] = "127.0.0.98"; // an NBD attach fails fast here
// No "iscsi" anywhere but in the scheme, so that only the scheme can select it.
constexpr char kIqn[] = "iqn.2024-01.test.oru:lanfree";
constexpr char kInitiator[] = "iqn.2024-01.test.oru:client";
constexpr uint64_t kLunBytes = 16 * 1024 * 1024;
constexpr uint64_t kHeaderBytes = 1052672;

struct Lab {
    TempDir dir;
    std::string lun = dir.file("lun.img");
    TgtTarget target{kPortal};
};

Lab *lab = nullptr;
std::string lab_error;

class LanfreeVolume : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!is_root() || !have_program("tgtd") || !have_program("tgtadm")) return;
        lab = new Lab;
        if (!make_sparse_file(lab->lun, kLunBytes))
            lab_error = "cannot create the backing file";
        else if (!lab->target.ok() || !lab->target.add_lun(1, kIqn, 1, lab->lun, 512))
            lab_error = lab->target.error();
    }
    static void TearDownTestSuite() {
        delete lab;
        lab = nullptr;
    }

    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("tgtd");
        ASSERT_TRUE(lab && lab_error.empty()) << lab_error;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        uuid = "iscsi-volume-test-" + std::to_string(getpid());
        url = lab->target.url(kIqn, 1);
        volume.volumeUuid = uuid.data();
        volume.dataStoreid = const_cast<char *>("ds-1");
        volume.diskFormat = ORU_RAW;
        volume.targeturl = url.data();
        volume.initiator = const_cast<char *>(kInitiator);
    }
    void TearDown() override {
        if (handle) {
            oruDiskLib_Close(handle, &volume);
            oruDiskLib_Finalize(&handle);
        }
        unlink(("/var/log/tamb/" + uuid + ".log").c_str());
    }

    oruError open(const char *mode) {
        return oruDiskLib_Open(&volume, ORU_RW, mode, true, handle,
                               reinterpret_cast<oruDiskLibConnection>(&connection));
    }

    oruDiskLibHandle handle = nullptr;
    oruDiskLibVolume volume{};
    std::string uuid, url;
    oruDiskLibInConnection connection{const_cast<char *>(kNoManagementServer),
                                      const_cast<char *>("user"), const_cast<char *>("pw"),
                                      const_cast<char *>("session-1")};
};

TEST_F(LanfreeVolume, LanfreeAndUnnamedModesReadAndWriteTheLun) {
    for (const char *mode : {"lanfree", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(mode ? mode : "(null)");
        ASSERT_EQ(open(mode), ORU_OK);
        std::vector<uint8_t> data = pattern(8 * 512, mode ? 1 : 2);
        ASSERT_EQ(oruDiskLib_Write(handle, &volume, 1000, 8, data.data()), ORU_OK);
        EXPECT_EQ(file_bytes(lab->lun, 1000 * 512, data.size()), data);
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(oruDiskLib_Read(handle, nullptr, 1000, 8, back.data()), ORU_OK);
        EXPECT_EQ(back, data);
        EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    }
}

TEST_F(LanfreeVolume, LuksVolumesSkipTheHeaderRegionAndMoveItOnRequest) {
    volume.diskFormat = ORU_LUKS;
    ASSERT_EQ(open("lanfree"), ORU_OK);
    std::vector<uint8_t> data = pattern(4 * 512, 3);
    ASSERT_EQ(oruDiskLib_Write(handle, &volume, 0, 4, data.data()), ORU_OK);
    EXPECT_EQ(file_bytes(lab->lun, kHeaderBytes, data.size()), data);

    std::vector<uint8_t> header = pattern(kHeaderBytes, 4);
    ASSERT_EQ(oruDiskLib_Header_set(handle, &volume, header.data()), ORU_OK);
    EXPECT_TRUE(file_bytes(lab->lun, 0, kHeaderBytes) == header);
    EXPECT_EQ(file_bytes(lab->lun, kHeaderBytes, data.size()), data) << "the header stops short";
    std::vector<uint8_t> back(kHeaderBytes);
    ASSERT_EQ(oruDiskLib_Header_get(handle, &volume, back.data()), ORU_OK);
    EXPECT_TRUE(back == header);
}

TEST_F(LanfreeVolume, OnlyLanfreeWithALowerCaseIscsiUrlReachesTheTarget) {
    iscsierror = const_cast<char *>("untouched");
    // "nbd" goes to the management server (absent here), never to the URL.
    oruError rc = open("nbd");
    EXPECT_NE(rc, ORU_OK);
    EXPECT_NE(rc, ORU_ISCSI_OPEN);
    EXPECT_EQ(lab->target.session_count(1), 0);

    std::string shouting = "ISCSI://" + url.substr(std::strlen("iscsi://"));
    volume.targeturl = shouting.data();
    rc = open("lanfree");
    EXPECT_NE(rc, ORU_OK);
    EXPECT_NE(rc, ORU_ISCSI_OPEN);
    EXPECT_STREQ(iscsierror, "untouched");
}

TEST_F(LanfreeVolume, UnreachablePortalFailsTheOpenAndClosesCleanly) {
    std::string unreachable = std::string("iscsi://") + kUnusedPortal + ":3260/" + kIqn + "/1";
    volume.targeturl = unreachable.data();
    ASSERT_EQ(open("lanfree"), ORU_ISCSI_OPEN);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_ISCSI_OPEN), "iscsi login failed\n");
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(oruDiskLib_Read(handle, &volume, 0, 1, buffer.data()), ORU_ISCSI_READ);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
}

} // namespace
