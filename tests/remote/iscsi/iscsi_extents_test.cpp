// oruDiskLib_QueryExtents on iSCSI volumes, against a real tgtd: a
// thin-provisioned LUN with 4 KiB blocks answers GET LBA STATUS from its
// backing file's holes (compared with qemu-img map of that file, with and
// without the LUKS shift); a LUN without thin provisioning is one data extent.
#include "core/handle.h"
#include "image/extents/extents_oracle.h"
#include "iscsi_file_bytes.h"
#include "remote/transport.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr char kPortal[] = "127.0.0.3";
constexpr char kIqn[] = "iqn.2024-01.test.oru:extents";
constexpr char kInitiator[] = "iqn.2024-01.test.oru:client";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kLunBytes = 64 * kMiB;
constexpr uint64_t kLuksHeader = 1052672;

// An iSCSI volume handle attached as a "lanfree" open leaves it.
struct IscsiVolume {
    oruDiskLibInHandle h{};
    oruDiskLibVolume volume{};
    std::string url;
    oruError attached;
    IscsiVolume(const std::string &target_url, int format) : url(target_url) {
        h.flag = ORU_TRANSPORT_ISCSI;
        volume.diskFormat = format;
        volume.targeturl = url.data();
        volume.initiator = const_cast<char *>(kInitiator);
        attached = remote_iscsi_attach(&h, &volume);
    }
    ~IscsiVolume() { remote_iscsi_close(&h); }
    oruDiskLibHandle handle() { return reinterpret_cast<oruDiskLibHandle>(&h); }
};

TEST(IscsiExtents, ThinLunFollowsTheBackingFileHoles) {
    ORU_REQUIRE_ROOT();
    for (const char *tool : {"tgtd", "tgtadm", "qemu-img"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string thin = dir.file("thin.img"), thick = dir.file("thick.img");
    ASSERT_TRUE(make_sparse_file(thin, kLunBytes));
    ASSERT_TRUE(make_sparse_file(thick, kLunBytes));
    for (uint64_t at : {uint64_t{0}, 3 * kMiB + 8192, 40 * kMiB, kLunBytes - 4096})
        ASSERT_TRUE(
            put_file_bytes(thin, at, pattern(std::min<uint64_t>(12288, kLunBytes - at), at)));
    TgtTarget target(kPortal);
    ASSERT_TRUE(target.ok()) << target.error();
    ASSERT_TRUE(target.add_lun(1, kIqn, 1, thin, 4096)) << target.error();
    ASSERT_TRUE(target.set_thin_provisioning(1, 1)) << target.error();
    ASSERT_TRUE(target.add_lun(1, kIqn, 2, thick, 4096)) << target.error();

    const std::vector<ByteRun> runs = qemu_map(thin, "raw");
    for (int format : {ORU_RAW, ORU_LUKS}) {
        IscsiVolume v(target.url(kIqn, 1), format);
        ASSERT_EQ(v.attached, ORU_OK) << iscsierror;
        const uint64_t shift = format == ORU_LUKS ? kLuksHeader : 0;
        const std::vector<Extent> want = expected_extents(runs, kLunBytes - shift, shift);
        ASSERT_GE(want.size(), 6u);
        EXPECT_EQ(query_extents(v.handle(), &v.volume, 100000), want);
        EXPECT_EQ(query_extents(v.handle(), &v.volume, 1), want) << "one extent per call";
        expect_zero_extents_read_zero(v.handle(), &v.volume, want);
    }

    IscsiVolume v(target.url(kIqn, 2), ORU_RAW);
    ASSERT_EQ(v.attached, ORU_OK) << iscsierror;
    EXPECT_EQ(query_extents(v.handle(), &v.volume, 4),
              (std::vector<Extent>{{0, kLunBytes / 512, false}}));
}

} // namespace
