// oruDiskLib_WriteZeroes, Flush and write-back writes on iSCSI volumes,
// against a real tgtd, checked on the LUN's backing file: the zeroed range
// (unaligned to the LUN's 4 KiB blocks at both ends) reads zeros and its
// neighbours are untouched, on a thin LUN (where WRITE SAME may unmap) and
// a fully provisioned one.
#include "core/handle.h"
#include "image/extents/extents_oracle.h"
#include "iscsi_file_bytes.h"
#include "remote/transport.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr char kPortal[] = "127.0.0.3";
constexpr char kIqn[] = "iqn.2024-01.test.oru:zero";
constexpr char kInitiator[] = "iqn.2024-01.test.oru:client";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kLunBytes = 24 * kMiB;

TEST(IscsiZero, WriteZeroesFlushAndWriteBackReachTheBackingFile) {
    ORU_REQUIRE_ROOT();
    for (const char *tool : {"tgtd", "tgtadm", "qemu-img"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string thin = dir.file("thin.img"), thick = dir.file("thick.img");
    const std::vector<uint8_t> original = pattern(kLunBytes, 11);
    for (const std::string &file : {thin, thick}) {
        ASSERT_TRUE(make_sparse_file(file, kLunBytes));
        ASSERT_TRUE(put_file_bytes(file, 0, original));
    }
    TgtTarget target(kPortal);
    ASSERT_TRUE(target.ok()) << target.error();
    ASSERT_TRUE(target.add_lun(1, kIqn, 1, thin, 4096)) << target.error();
    ASSERT_TRUE(target.set_thin_provisioning(1, 1)) << target.error();
    ASSERT_TRUE(target.add_lun(1, kIqn, 2, thick, 4096)) << target.error();

    // Sectors 3 .. 3 + 20 MiB + 5 sectors: partial blocks at both ends.
    const uint64_t first = 3, count = 20 * kMiB / 512 + 5;
    const uint64_t from = first * 512, to = from + count * 512;
    const auto fresh = pattern(8192, 77);
    for (int lun : {1, 2}) {
        SCOPED_TRACE(lun == 1 ? "thin LUN" : "thick LUN");
        const std::string &file = lun == 1 ? thin : thick;
        const std::string url = target.url(kIqn, lun);
        oruDiskLibInHandle h{};
        h.flag = ORU_TRANSPORT_ISCSI;
        h.open_flag = ORU_RW | ORU_WRITEBACK;
        oruDiskLibVolume volume{};
        volume.diskFormat = ORU_RAW;
        volume.targeturl = const_cast<char *>(url.c_str());
        volume.initiator = const_cast<char *>(kInitiator);
        ASSERT_EQ(remote_iscsi_attach(&h, &volume), ORU_OK) << iscsierror;
        auto handle = reinterpret_cast<oruDiskLibHandle>(&h);

        oruDiskLibInfo info{};
        info.structSize = sizeof info;
        ASSERT_EQ(oruDiskLib_GetInfo(handle, &volume, &info), ORU_OK);
        EXPECT_EQ(info.capacity, kLunBytes);
        EXPECT_EQ(info.minBlockSize, 4096u);
        EXPECT_TRUE(info.flags & ORU_INFO_CAN_FLUSH);
        EXPECT_FALSE(info.flags & ORU_INFO_READ_ONLY);

        EXPECT_EQ(oruDiskLib_WriteZeroes(handle, &volume, kLunBytes / 512 - 1, 2), ORU_E_PARAMS);
        ASSERT_EQ(oruDiskLib_WriteZeroes(handle, &volume, first, count), ORU_OK) << iscsierror;
        ASSERT_EQ(oruDiskLib_Write(handle, &volume, 22 * kMiB / 512, fresh.size() / 512,
                                   const_cast<uint8_t *>(fresh.data())),
                  ORU_OK);
        EXPECT_EQ(oruDiskLib_Flush(handle, &volume), ORU_OK) << iscsierror;
        EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK) << iscsierror;

        std::vector<uint8_t> want = original;
        std::fill(want.begin() + static_cast<long>(from), want.begin() + static_cast<long>(to), 0);
        std::copy(fresh.begin(), fresh.end(), want.begin() + static_cast<long>(22 * kMiB));
        EXPECT_TRUE(file_bytes(file, 0, kLunBytes) == want) << "backing file differs";
        // Where the LUN says zeroing unmaps, the whole blocks inside the
        // range left the backing file.
        if (info.flags & ORU_INFO_FAST_ZERO) {
            bool hole = false;
            for (const ByteRun &run : qemu_map(file, "raw"))
                hole |= run.zero && run.start <= 8192 && run.start + run.length >= 16 * kMiB;
            EXPECT_TRUE(hole) << "the zeroed blocks are still allocated";
        }
    }
}

} // namespace
