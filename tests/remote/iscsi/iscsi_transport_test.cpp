// The iSCSI transport against a real tgtd target: what the library writes
// lands at the right place of the LUN's backing file, whatever the LUN's
// block length, the transfer size or the address.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "core/handle.h"
#include "iscsi_file_bytes.h"
#include "remote/transport.h"
#include "support/test_support.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr char kPortal[] = "127.0.0.2";
constexpr char kUnusedPortal[] = "127.0.0.99"; // nothing listens there
constexpr char kIqn[] = "iqn.2024-01.test.oru:lan";
constexpr char kBigIqn[] = "iqn.2024-01.test.oru:big";
constexpr char kInitiator[] = "iqn.2024-01.test.oru:initiator";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kTiB = kMiB * kMiB;
constexpr uint64_t kSmallLunBytes = 64 * kMiB; // LUN 1, 512-byte blocks
constexpr uint64_t kWideLunBytes = 16 * kMiB;  // LUN 2, 4096-byte blocks
constexpr uint64_t kBigLunBytes = 3 * kTiB;    // target 2 LUN 1, 512-byte blocks
constexpr uint64_t kHeaderBytes = 1052672;

struct Lab {
    TempDir dir;
    std::string small = dir.file("small.img");
    std::string wide = dir.file("wide.img");
    std::string big = dir.file("big.img");
    TgtTarget target{kPortal};
};

Lab *lab = nullptr;
std::string lab_error;

class IscsiTransport : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!is_root() || !have_program("tgtd") || !have_program("tgtadm")) return;
        lab = new Lab;
        if (!make_sparse_file(lab->small, kSmallLunBytes) ||
            !make_sparse_file(lab->wide, kWideLunBytes) ||
            !make_sparse_file(lab->big, kBigLunBytes))
            lab_error = "cannot create backing files";
        else if (!lab->target.ok() || !lab->target.add_lun(1, kIqn, 1, lab->small, 512) ||
                 !lab->target.add_lun(1, kIqn, 2, lab->wide, 4096) ||
                 !lab->target.add_lun(2, kBigIqn, 1, lab->big, 512))
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
    }
    void TearDown() override { remote_iscsi_close(&h); }

    oruError attach(const std::string &url, const char *initiator = kInitiator) {
        volume.targeturl = const_cast<char *>(url.c_str());
        volume.initiator = const_cast<char *>(initiator);
        url_text = url;
        return remote_iscsi_attach(&h, &volume);
    }

    oruDiskLibInHandle h{};
    oruDiskLibVolume volume{};
    std::string url_text;
};

TEST_F(IscsiTransport, AttachLearnsTheGeometryOfEachLun) {
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);
    EXPECT_EQ(h.flag, 0) << "the dispatch owns flag";
    EXPECT_EQ(h.lun, 1);
    EXPECT_EQ(h.blocksize, 512);
    EXPECT_EQ(h.num_blocks, kSmallLunBytes / 512 - 1);
    ASSERT_EQ(remote_iscsi_close(&h), ORU_OK);

    ASSERT_EQ(attach(lab->target.url(kIqn, 2)), ORU_OK);
    EXPECT_EQ(h.lun, 2);
    EXPECT_EQ(h.blocksize, 4096);
    EXPECT_EQ(h.num_blocks, kWideLunBytes / 4096 - 1);
    ASSERT_EQ(remote_iscsi_close(&h), ORU_OK);

    // READ CAPACITY (10) saturates here; the 16-byte answer is used instead.
    ASSERT_EQ(attach(lab->target.url(kBigIqn, 1)), ORU_OK);
    EXPECT_EQ(h.num_blocks, kBigLunBytes / 512 - 1);
}

TEST_F(IscsiTransport, WrittenBytesLandInTheBackingFileAndReadBack) {
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);
    const uint64_t offset = kMiB + 512;
    std::vector<uint8_t> data = pattern(64 * 1024, 1);
    ASSERT_EQ(remote_iscsi_write(&h, offset, data.size(), data.data()), ORU_OK);
    EXPECT_EQ(file_bytes(lab->small, offset, data.size()), data);

    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(remote_iscsi_read(&h, offset, back.size(), back.data()), ORU_OK);
    EXPECT_EQ(back, data);
}

TEST_F(IscsiTransport, FullSizeTransferIsCarriedWhole) {
    // 65,536 sectors of 512 bytes do not fit one 10-byte command.
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);
    const uint64_t offset = 8 * kMiB;
    std::vector<uint8_t> data = pattern(32 * kMiB, 2);
    ASSERT_EQ(remote_iscsi_write(&h, offset, data.size(), data.data()), ORU_OK);
    EXPECT_TRUE(file_bytes(lab->small, offset, data.size()) == data);

    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(remote_iscsi_read(&h, offset, back.size(), back.data()), ORU_OK);
    EXPECT_TRUE(back == data);
}

TEST_F(IscsiTransport, SectorsOfA4096ByteLunKeepTheirNeighbours) {
    const uint64_t span = 64 * 1024;
    std::vector<uint8_t> before = pattern(span, 3);
    ASSERT_TRUE(put_file_bytes(lab->wide, 0, before));
    ASSERT_EQ(attach(lab->target.url(kIqn, 2)), ORU_OK);

    // Sector 9 lives in block 1, 512 bytes in.
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(remote_iscsi_read(&h, 9 * 512, 512, sector.data()), ORU_OK);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), before.begin() + 9 * 512));

    std::vector<uint8_t> one = pattern(512, 4);
    ASSERT_EQ(remote_iscsi_write(&h, 9 * 512, 512, one.data()), ORU_OK);
    std::vector<uint8_t> expected = before;
    std::copy(one.begin(), one.end(), expected.begin() + 9 * 512);
    EXPECT_TRUE(file_bytes(lab->wide, 0, span) == expected);

    // Partial head block, whole blocks, partial tail block in one call.
    const uint64_t offset = 7 * 512, length = 19 * 512;
    std::vector<uint8_t> many = pattern(length, 5);
    ASSERT_EQ(remote_iscsi_write(&h, offset, length, many.data()), ORU_OK);
    std::copy(many.begin(), many.end(), expected.begin() + offset);
    EXPECT_TRUE(file_bytes(lab->wide, 0, span) == expected);

    std::vector<uint8_t> back(3 * 512 + 20 * 512);
    ASSERT_EQ(remote_iscsi_read(&h, 5 * 512, back.size(), back.data()), ORU_OK);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expected.begin() + 5 * 512));
}

TEST_F(IscsiTransport, HeaderRegionIsTheStartOfTheLun) {
    std::vector<uint8_t> around = pattern(kHeaderBytes + 4096, 6);
    ASSERT_TRUE(put_file_bytes(lab->small, 0, around));
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);

    std::vector<uint8_t> header(kHeaderBytes);
    ASSERT_EQ(remote_iscsi_header_get(&h, header.data()), ORU_OK);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), around.begin()));

    std::vector<uint8_t> fresh = pattern(kHeaderBytes, 7);
    ASSERT_EQ(remote_iscsi_header_set(&h, fresh.data()), ORU_OK);
    EXPECT_TRUE(file_bytes(lab->small, 0, kHeaderBytes) == fresh);
    EXPECT_TRUE(file_bytes(lab->small, kHeaderBytes, 4096) ==
                std::vector<uint8_t>(around.begin() + kHeaderBytes, around.end()));
}

TEST_F(IscsiTransport, AddressesBeyondTwoTebibytesDoNotWrap) {
    ASSERT_EQ(attach(lab->target.url(kBigIqn, 1)), ORU_OK);
    const uint64_t two_tib = 2 * kTiB; // block 2^32 on 512-byte blocks
    const uint64_t low = 7 * 512;

    std::vector<uint8_t> far = pattern(8192, 8);
    ASSERT_EQ(remote_iscsi_write(&h, two_tib + low, far.size(), far.data()), ORU_OK);
    EXPECT_EQ(file_bytes(lab->big, two_tib + low, far.size()), far);
    EXPECT_EQ(file_bytes(lab->big, low, far.size()), std::vector<uint8_t>(far.size(), 0))
        << "a 32-bit address would have landed here";

    // A transfer that starts below block 2^32 and ends above it.
    const uint64_t straddle = two_tib - 1024;
    std::vector<uint8_t> across = pattern(4096, 9);
    ASSERT_EQ(remote_iscsi_write(&h, straddle, across.size(), across.data()), ORU_OK);
    EXPECT_EQ(file_bytes(lab->big, straddle, across.size()), across);

    std::vector<uint8_t> back(far.size());
    ASSERT_EQ(remote_iscsi_read(&h, two_tib + low, back.size(), back.data()), ORU_OK);
    EXPECT_EQ(back, far);
    back.assign(across.size(), 0);
    ASSERT_EQ(remote_iscsi_read(&h, straddle, back.size(), back.data()), ORU_OK);
    EXPECT_EQ(back, across);
}

TEST_F(IscsiTransport, FailedAttachesLeaveAHandleThatClosesSafely) {
    const std::string unreachable =
        std::string("iscsi://") + kUnusedPortal + ":3260/" + kIqn + "/1";
    ASSERT_EQ(attach(unreachable), ORU_ISCSI_OPEN);
    EXPECT_STREQ(iscsierror, "iscsi login failed\n");
    EXPECT_EQ(h.iscsi, nullptr);
    std::vector<uint8_t> buffer(4096, 0xAB);
    EXPECT_EQ(remote_iscsi_read(&h, 0, buffer.size(), buffer.data()), ORU_ISCSI_READ);
    EXPECT_STREQ(iscsierror, "iscsi failed to send Read10 command\n");
    EXPECT_EQ(remote_iscsi_write(&h, 0, buffer.size(), buffer.data()), ORU_ISCSI_WRITE);
    EXPECT_STREQ(iscsierror, "iscsi failed to send Write10 command\n");
    EXPECT_EQ(remote_iscsi_header_get(&h, buffer.data()), ORU_ISCSI_READ);
    EXPECT_EQ(remote_iscsi_close(&h), ORU_OK);
    EXPECT_EQ(remote_iscsi_close(&h), ORU_OK);

    EXPECT_EQ(attach(lab->target.url(kIqn, 7)), ORU_ISCSI_OPEN) << "no such LUN";
    EXPECT_STREQ(iscsierror, "iscsi login failed\n");
    EXPECT_EQ(attach(std::string("iscsi://") + kPortal), ORU_ISCSI_OPEN);
    EXPECT_STREQ(iscsierror, "iscsi failed to parse URL\n");
    EXPECT_EQ(attach(lab->target.url(kIqn, 1), nullptr), ORU_ISCSI_OPEN);
    EXPECT_STREQ(iscsierror, "iscsi failed to create context\n");
    EXPECT_EQ(h.iscsi, nullptr);
}

TEST_F(IscsiTransport, RefusedCommandsKeepTheSessionUsable) {
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);
    std::vector<uint8_t> buffer(4096, 0x5A);
    EXPECT_EQ(remote_iscsi_read(&h, kSmallLunBytes, buffer.size(), buffer.data()), ORU_ISCSI_READ);
    EXPECT_STREQ(iscsierror, "iscsi failed to send Read10 command\n");
    EXPECT_EQ(buffer, std::vector<uint8_t>(4096, 0x5A));
    EXPECT_EQ(remote_iscsi_write(&h, kSmallLunBytes, buffer.size(), buffer.data()),
              ORU_ISCSI_WRITE);
    EXPECT_STREQ(iscsierror, "iscsi failed to send Write10 command\n");
    EXPECT_EQ(remote_iscsi_read(&h, 0, 0, nullptr), ORU_OK);

    // A large transfer whose later commands run past the end: the ones in
    // flight are awaited, the failure is reported.
    std::vector<uint8_t> large(32 * kMiB);
    EXPECT_EQ(remote_iscsi_read(&h, kSmallLunBytes - 8 * kMiB, large.size(), large.data()),
              ORU_ISCSI_READ);
    EXPECT_EQ(remote_iscsi_write(&h, kSmallLunBytes - 8 * kMiB, large.size(), large.data()),
              ORU_ISCSI_WRITE);
    EXPECT_EQ(remote_iscsi_read(&h, 0, buffer.size(), buffer.data()), ORU_OK);
}

TEST_F(IscsiTransport, ALostSessionFailsReadsInsteadOfHanging) {
    TempDir scratch;
    const std::string backing = scratch.file("lost.img");
    ASSERT_TRUE(make_sparse_file(backing, 64 * kMiB));
    const char iqn[] = "iqn.2024-01.test.oru:lost";
    ASSERT_TRUE(lab->target.add_lun(3, iqn, 1, backing, 512)) << lab->target.error();
    ASSERT_EQ(attach(lab->target.url(iqn, 1)), ORU_OK);
    ASSERT_TRUE(lab->target.remove_target(3)) << lab->target.error();

    std::vector<uint8_t> large(32 * kMiB);
    EXPECT_EQ(remote_iscsi_read(&h, 0, large.size(), large.data()), ORU_ISCSI_READ);
    EXPECT_EQ(remote_iscsi_write(&h, 0, large.size(), large.data()), ORU_ISCSI_WRITE);
    EXPECT_EQ(remote_iscsi_close(&h), ORU_OK);
}

TEST_F(IscsiTransport, CloseLogsOutAndEndsTheVolumeLog) {
    TempDir logs;
    ASSERT_EQ(attach(lab->target.url(kIqn, 1)), ORU_OK);
    h.log = std::fopen(logs.file("volume.log").c_str(), "w+");
    ASSERT_NE(h.log, nullptr);
    EXPECT_EQ(lab->target.session_count(1), 1);
    ASSERT_EQ(remote_iscsi_close(&h), ORU_OK);
    EXPECT_EQ(h.iscsi, nullptr);
    EXPECT_EQ(h.log, nullptr);
    int sessions = -1;
    for (int i = 0; i < 40 && sessions != 0; ++i) {
        sessions = lab->target.session_count(1);
        if (sessions != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(sessions, 0);
}

} // namespace
