// oruDiskLib_QueryExtents on local volumes: qcow2 images and chains made by
// qemu-img and qemu-io, sparse raw files and the LUKS shift, each compared
// with qemu-img map, asked again one extent per call, and read back where
// the answer promises zeros.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extents_oracle.h"
#include "support/local_volume.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
constexpr uint64_t kLuksHeader = 1052672;

// A local volume opened read-only on a handle of its own.
class Volume : public LocalVolume {
  public:
    Volume(const std::string &path, int format) : LocalVolume(path, format, ORU_RO) {}
};

// The library's extents must equal qemu-img map's, in one call and one
// extent per call, and every zero extent must read as zeros.
void expect_like_qemu(const std::string &image, int format, uint64_t volume_bytes) {
    const std::string qemu_format = format == ORU_QCOW ? "qcow2" : "raw";
    const uint64_t shift = format == ORU_LUKS ? kLuksHeader : 0;
    const std::vector<Extent> want =
        expected_extents(qemu_map(image, qemu_format), volume_bytes, shift);
    Volume v(image, format);
    ASSERT_TRUE(v.ok());
    const std::vector<Extent> all = query_extents(v.handle(), v.volume(), 100000);
    EXPECT_EQ(all, want) << image;
    EXPECT_EQ(query_extents(v.handle(), v.volume(), 1), want) << image << " one extent per call";
    // A query from the middle of an extent, over a range that ends inside
    // another one, is that part of the same map.
    if (all.size() >= 3) {
        const uint64_t from = all[1].start + all[1].count / 2, to = all[2].start + 1;
        std::vector<Extent> part = query_extents(v.handle(), v.volume(), 2, from, to - from);
        std::vector<Extent> cut = {{from, all[1].start + all[1].count - from, all[1].zero},
                                   {all[2].start, 1, all[2].zero}};
        EXPECT_EQ(part, cut) << image;
    }
    expect_zero_extents_read_zero(v.handle(), v.volume(), all);
}

class LocalExtents : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
    }
    std::string create(const std::string &name, const std::string &options, const std::string &size,
                       const std::string &backing = "") {
        return create_qcow2(dir.file(name), options, size, backing);
    }
    TempDir dir;
};

// Version 3 with 64 KiB clusters: data, zero-flag clusters (on free and on
// allocated clusters), a discard, compressed clusters, a size that ends
// inside a cluster.
TEST_F(LocalExtents, Qcow2V3KindsAgreeWithQemuImgMap) {
    const std::string img = create("v3.qcow2", "compat=1.1,cluster_size=65536", "20971776");
    io(img, {"write -P 0x11 0 192k", "write -z 64k 64k", "write -z 1M 128k", "write -P 3 2M 4k",
             "discard 2M 64k", "write -c -P 0x22 4M 128k", "write -P 5 5M 4k", "write -z 5M 64k",
             "write -P 6 20M 512"});
    expect_like_qemu(img, ORU_QCOW, 20971776);
}

// Version 2 (no zero flag) with the smallest clusters the engine opens (a
// page; it maps L2 tables), and 2 MiB clusters.
TEST_F(LocalExtents, Qcow2ClusterSizesAgreeWithQemuImgMap) {
    const std::string small = create("v2.qcow2", "compat=0.10,cluster_size=4096", "3M");
    io(small, {"write -P 1 0 6k", "write -P 2 100k 512", "write -z 200k 8k", "write -P 3 1M 1M"});
    expect_like_qemu(small, ORU_QCOW, 3 * MiB);
    const std::string big = create("big.qcow2", "cluster_size=2097152", "64M");
    io(big, {"write -P 1 2M 4k", "write -z 8M 4M", "write -P 2 60M 4M"});
    expect_like_qemu(big, ORU_QCOW, 64 * MiB);
}

// A chain: the base is smaller than the top and shows nothing past its end;
// the middle layer hides base data under zero clusters and adds its own;
// the top has a different cluster size again.
TEST_F(LocalExtents, BackingChainAgreesWithQemuImgMap) {
    const std::string base = create("base.qcow2", "cluster_size=4096", "6M");
    io(base, {"write -P 1 0 1M", "write -P 2 5M 1M"});
    const std::string mid = create("mid.qcow2", "cluster_size=65536", "12M", base);
    io(mid, {"write -z 256k 256k", "write -P 3 8M 64k"});
    const std::string top = create("top.qcow2", "cluster_size=1048576", "16M", mid);
    io(top, {"write -z 5M 1M", "write -P 4 14M 1M"});
    expect_like_qemu(top, ORU_QCOW, 16 * MiB);
}

// 3 TiB holding a few MiB: the walk skips the empty L1 ranges (the test's
// time limit would catch a walk cluster by cluster), and both ends agree.
TEST_F(LocalExtents, ThinThreeTebibyteImage) {
    const std::string base = create("thin-base.qcow2", "cluster_size=65536", "1T");
    io(base, {"write -P 1 700G 1M"});
    const std::string img = create("thin.qcow2", "cluster_size=65536", "3T", base);
    io(img, {"write -P 2 0 1M", "write -P 3 1T 64k", "write -z 700G 64k", "write -P 4 3071G 1M"});
    expect_like_qemu(img, ORU_QCOW, 3 * 1024 * GiB);
}

// Sparse raw files: holes are zero, data blocks data; a partial last sector
// is data.
TEST_F(LocalExtents, SparseRawAgreesWithQemuImgMap) {
    const std::string img = dir.file("sparse.raw");
    run_ok("truncate -s 33554532 " + quote(img));
    run_ok("dd status=none conv=notrunc if=/dev/urandom of=" + quote(img) +
           " bs=4096 seek=3 count=2");
    run_ok("dd status=none conv=notrunc if=/dev/urandom of=" + quote(img) +
           " bs=1M seek=20 count=1");
    expect_like_qemu(img, ORU_RAW, 33554532);
}

// A LUKS volume starts after its 1,052,672-byte header region: sector 0 of
// the answer is that byte of the file, and the header's data is not shown.
TEST_F(LocalExtents, LuksVolumeStartsAfterItsHeader) {
    const std::string img = dir.file("luks.raw");
    const uint64_t volume_bytes = 8 * MiB + 100;
    run_ok("truncate -s " + std::to_string(kLuksHeader + volume_bytes) + " " + quote(img));
    run_ok("dd status=none conv=notrunc if=/dev/urandom of=" + quote(img) + " bs=4096 count=257");
    run_ok("dd status=none conv=notrunc if=/dev/urandom of=" + quote(img) +
           " bs=4096 seek=" + std::to_string(kLuksHeader / 4096 + 512) + " count=3");
    expect_like_qemu(img, ORU_LUKS, volume_bytes);
    Volume v(img, ORU_LUKS);
    ASSERT_TRUE(v.ok());
    const std::vector<Extent> want = {
        {0, 4096, true}, {4096, 24, false}, {4120, 16384 - 4120, true}, {16384, 1, false}};
    EXPECT_EQ(query_extents(v.handle(), v.volume(), 16), want);
}

// A writer sees its own writes at once: a restore can check what it wrote.
TEST_F(LocalExtents, WritesThroughTheHandleShowAtOnce) {
    const std::string qcow = create("rw.qcow2", "cluster_size=65536", "4M");
    const std::string raw = dir.file("rw.raw");
    run_ok("truncate -s 4M " + quote(raw));
    for (auto [path, format] : {std::pair{qcow, ORU_QCOW}, std::pair{raw, ORU_RAW}}) {
        oruDiskLibVolume volume{};
        volume.diskPath = const_cast<char *>(path.c_str());
        volume.diskFormat = format;
        oruDiskLibHandle handle = nullptr;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, nullptr, false, handle, nullptr), ORU_OK);
        std::vector<uint8_t> sector = pattern(512, 3);
        ASSERT_EQ(oruDiskLib_Write(handle, &volume, 2048, 1, sector.data()), ORU_OK);
        // A cluster, or a file system block.
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        const uint64_t unit = format == ORU_QCOW ? 128 : static_cast<uint64_t>(st.st_blksize) / 512;
        EXPECT_EQ(query_extents(handle, &volume, 8),
                  (std::vector<Extent>{{0, 2048, true},
                                       {2048, unit, false},
                                       {2048 + unit, 8192 - 2048 - unit, true}}))
            << path;
        EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
        oruDiskLib_Finalize(&handle);
    }
}

TEST_F(LocalExtents, ArgumentsAndStates) {
    const std::string img = create("args.qcow2", "cluster_size=65536", "1M");
    Volume v(img, ORU_QCOW);
    ASSERT_TRUE(v.ok());
    oruDiskLibExtent out[4];
    uint32_t n = 7;
    EXPECT_EQ(oruDiskLib_QueryExtents(nullptr, v.volume(), 0, 1, out, 4, &n), ORU_E_PARAMS);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), nullptr, 0, 1, out, 4, &n), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 0, 1, nullptr, 4, &n), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 0, 1, out, 4, nullptr), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 0, 1, out, 0, &n), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 2049, 1, out, 4, &n), ORU_E_PARAMS);
    n = 7;
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 2048, 1, out, 4, &n), ORU_OK);
    EXPECT_EQ(n, 0u);
    // Far more sectors than the volume holds, and than a read may move.
    EXPECT_EQ(oruDiskLib_QueryExtents(v.handle(), v.volume(), 100, UINT64_MAX, out, 4, &n), ORU_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0].start, 100u);
    EXPECT_EQ(out[0].count, 1948u);
    EXPECT_EQ(out[0].flags, static_cast<uint32_t>(ORU_EXTENT_ZERO));

    // No volume open: the same refusal as a read's.
    oruDiskLibHandle idle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&idle), ORU_OK);
    char sector[512];
    for (int format : {ORU_QCOW, ORU_RAW}) {
        oruDiskLibVolume other{};
        other.diskFormat = format;
        EXPECT_EQ(oruDiskLib_QueryExtents(idle, &other, 0, 1, out, 4, &n),
                  oruDiskLib_Read(idle, &other, 0, 1, sector));
    }
    oruDiskLib_Finalize(&idle);
}

} // namespace
