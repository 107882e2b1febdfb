// oruDiskLib_WriteZeroes, _GetInfo and _Flush on local volumes, judged by
// qemu: qemu-io's own zeroing (or a raw copy zeroed by hand) as the reference
// for qemu-img compare, qemu-img check for the refcounts, qemu-img map for
// what became a hole, and the file's allocated blocks for the space given back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>

#include "image/extents/extents_oracle.h"
#include "image/qcow2_write/image_oracle.h"
#include "support/local_volume.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
constexpr uint64_t kLuksHeader = 1052672;

uint64_t allocated_bytes(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

// "" when qemu-img compare finds the same guest contents.
std::string compare(const std::string &a, const std::string &a_format, const std::string &b,
                    const std::string &b_format) {
    CommandResult r =
        run("qemu-img compare -f " + a_format + " -F " + b_format + " " + quote(a) + " " + quote(b),
            true);
    return r.status == 0 ? std::string() : r.out;
}

// True when qemu-img map reports no data over every byte of [from, to).
bool qemu_sees_zeros(const std::string &image, const std::string &format, uint64_t from,
                     uint64_t to) {
    for (const ByteRun &r : qemu_map(image, format))
        if (!r.zero && r.start < to && r.start + r.length > from) return false;
    return true;
}

// A local volume on a handle of its own.
class Volume : public LocalVolume {
  public:
    Volume(const std::string &path, int format, int flag = ORU_RW)
        : LocalVolume(path, format, flag) {}
    oruError zero(uint64_t start, uint64_t count) {
        return oruDiskLib_WriteZeroes(handle(), volume(), start, count);
    }
    oruError write(uint64_t start, std::vector<uint8_t> data) {
        return oruDiskLib_Write(handle(), volume(), start, data.size() / 512, data.data());
    }
    oruDiskLibInfo info() {
        oruDiskLibInfo i{};
        i.structSize = sizeof i;
        EXPECT_EQ(oruDiskLib_GetInfo(handle(), volume(), &i), ORU_OK);
        return i;
    }
};

class WriteZeroes : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
    }
    TempDir dir_;
};

// Per qcow2 version: "0.10" (v2, no zero flag) or "1.1" (v3).
class QcowZeroes : public WriteZeroes, public ::testing::WithParamInterface<const char *> {
  protected:
    std::string create(const std::string &name, const std::string &size,
                       const std::string &backing = "") {
        return create_qcow2(dir_.file(name),
                            "compat=" + std::string(GetParam()) + ",cluster_size=64k", size,
                            backing);
    }
};

// A standalone image full of data and one compressed cluster, zeroed from
// the middle of one cluster to the middle of another: reads as qemu-io's own
// zeroing does, stays clean, and the whole clusters in between become holes
// whose space goes back to the file system.
TEST_P(QcowZeroes, StandaloneImageLikeQemuWithSpaceGivenBack) {
    const std::string image = create("image.qcow2", "8M");
    io("qcow2", image,
       {"write -c -P 0x22 4M 64k", "write -P 0x11 0 4M", "write -P 0x11 4160k 4032k"});
    const std::string reference = dir_.file("reference.qcow2");
    run_ok("cp " + quote(image) + " " + quote(reference));
    const uint64_t from = 100 * KiB, length = 4650 * KiB; // ends inside cluster 74
    io("qcow2", reference, {"write -z " + std::to_string(from) + " " + std::to_string(length)});

    const uint64_t size_before = file_length(image), allocated_before = allocated_bytes(image);
    {
        Volume v(image, ORU_QCOW);
        ASSERT_EQ(v.zero(from / 512, length / 512), ORU_OK);
        ASSERT_EQ(v.close(), ORU_OK);
    }
    EXPECT_EQ(qemu_check(image), "");
    EXPECT_EQ(compare(image, "qcow2", reference, "qcow2"), "");
    const uint64_t first_whole = 128 * KiB, end_whole = 74 * 64 * KiB;
    EXPECT_TRUE(qemu_sees_zeros(image, "qcow2", first_whole, end_whole));
    EXPECT_LE(file_length(image), size_before);
    EXPECT_LE(allocated_bytes(image) + (end_whole - first_whole) - 256 * KiB, allocated_before)
        << "freed clusters are punched out of the file";
}

// Overlays: zeroing never lets the backing data show through, over
// unallocated clusters, allocated and compressed ones, and past the end of a
// smaller backing image; compared with a raw copy zeroed by hand.
TEST_P(QcowZeroes, OverlayHidesBackingData) {
    const std::string base = create("base.qcow2", "8M");
    io("qcow2", base, {"write -P 0x33 0 8M"});
    const std::string overlay = create("overlay.qcow2", "12M", base);
    io("qcow2", overlay, {"write -P 0x44 1M 1M", "write -c -P 0x55 3M 64k"});
    const uint64_t from = 300 * KiB, length = 10 * MiB - 200 * KiB;
    const std::string reference = dir_.file("reference.raw");
    run_ok("qemu-img convert -O raw " + quote(overlay) + " " + quote(reference));
    io("raw", reference, {"write -z " + std::to_string(from) + " " + std::to_string(length)});

    const uint64_t allocated_before = allocated_bytes(overlay);
    {
        Volume v(overlay, ORU_QCOW);
        ASSERT_EQ(v.zero(from / 512, length / 512), ORU_OK);
        ASSERT_EQ(v.close(), ORU_OK);
    }
    EXPECT_EQ(qemu_check(overlay), "");
    EXPECT_EQ(compare(overlay, "qcow2", reference, "raw"), "");
    EXPECT_LE(allocated_bytes(overlay), allocated_before + 1 * MiB);
    if (std::string(GetParam()) == "1.1") {
        EXPECT_TRUE(qemu_sees_zeros(overlay, "qcow2", 320 * KiB, from + length - 64 * KiB));
    }
}

// 1 GiB over unallocated space costs metadata only: nothing at all in a
// standalone image or over the base's holes, zero-flag L2 entries (v3) over
// the base's data.
TEST_P(QcowZeroes, GibibyteOverUnallocatedSpaceStaysSmall) {
    const std::string base = create("base.qcow2", "2G");
    io("qcow2", base, {"write -P 0x66 0 4M", "write -P 0x66 1G 4M"});
    for (const std::string &image :
         {create("standalone.qcow2", "2G"), create("overlay.qcow2", "2G", base)}) {
        io("qcow2", image, {"write -P 0x77 0 1M"});
        const uint64_t before = file_length(image);
        {
            Volume v(image, ORU_QCOW);
            ASSERT_EQ(v.zero(MiB / 512, GiB / 512), ORU_OK);
            ASSERT_EQ(v.close(), ORU_OK);
        }
        const bool v2_overlay =
            std::string(GetParam()) == "0.10" && image.find("overlay") != std::string::npos;
        // A v2 overlay has no zero flag: the 4 MiB of clusters over backing
        // data are appended as holes; over the base's holes nothing changes.
        if (v2_overlay) {
            EXPECT_LT(file_length(image) - before, 5 * MiB) << image;
            EXPECT_LT(allocated_bytes(image), 4 * MiB) << image;
        } else {
            EXPECT_LT(file_length(image) - before, 1 * MiB) << image;
        }
        EXPECT_EQ(qemu_check(image), "") << image;
        EXPECT_TRUE(qemu_sees_zeros(image, "qcow2", MiB, MiB + GiB) || v2_overlay) << image;
        CommandResult r =
            run("qemu-io -f qcow2 -c " + quote("read -P 0 1020M 5M") + " " + quote(image), true);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("Pattern verification failed"), std::string::npos) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, QcowZeroes, ::testing::Values("0.10", "1.1"),
                         [](const auto &info) {
                             return std::string(info.param) == "1.1" ? "v3" : "v2";
                         });

// Raw files punch holes and keep their size, to the last byte of a file
// that ends inside a sector; LUKS volumes keep their header region.
TEST_F(WriteZeroes, RawAndLuksPunchHolesAndKeepTheirHeader) {
    const std::string raw = dir_.file("disk.raw");
    const uint64_t raw_size = 8 * MiB + 1000;
    write_file(raw, pattern(raw_size, 1));
    const uint64_t allocated_before = allocated_bytes(raw);
    {
        Volume v(raw, ORU_RAW);
        // The last sector is partial: zeroed to the end of the file.
        const uint64_t sectors = (raw_size + 511) / 512;
        ASSERT_EQ(v.zero(3, sectors - 3), ORU_OK);
        ASSERT_EQ(v.close(), ORU_OK);
    }
    std::vector<uint8_t> want = pattern(raw_size, 1);
    std::fill(want.begin() + 3 * 512, want.end(), 0);
    EXPECT_EQ(file_length(raw), raw_size);
    EXPECT_TRUE(read_file(raw) == want);
    EXPECT_TRUE(qemu_sees_zeros(raw, "raw", 4 * KiB, 8 * MiB));
    EXPECT_LE(allocated_bytes(raw) + 7 * MiB, allocated_before);

    const std::string luks = dir_.file("disk.luks");
    const uint64_t luks_size = kLuksHeader + 4 * MiB;
    write_file(luks, pattern(luks_size, 2));
    {
        Volume v(luks, ORU_LUKS);
        EXPECT_EQ(v.info().capacity, 4 * MiB);
        ASSERT_EQ(v.zero(0, 4 * MiB / 512), ORU_OK);
        ASSERT_EQ(v.close(), ORU_OK);
    }
    want = pattern(luks_size, 2);
    std::fill(want.begin() + kLuksHeader, want.end(), 0);
    EXPECT_TRUE(read_file(luks) == want) << "the header region is untouched, the rest zero";
}

// Refusals change nothing: a range past the end (even by one sector, even
// when it starts inside), and a read-only handle, which fails as Write does.
TEST_F(WriteZeroes, RefusalsChangeNothing) {
    const std::string qcow = dir_.file("image.qcow2");
    run_ok("qemu-img create -q -f qcow2 " + quote(qcow) + " 4M");
    io("qcow2", qcow, {"write -P 0x11 0 4M"});
    const std::string raw = dir_.file("disk.raw");
    write_file(raw, pattern(4 * MiB, 3));
    const std::string luks = dir_.file("disk.luks");
    write_file(luks, pattern(kLuksHeader + 4 * MiB, 4));
    for (auto [path, format] : {std::pair{qcow, ORU_QCOW}, {raw, ORU_RAW}, {luks, ORU_LUKS}}) {
        const std::vector<uint8_t> before = read_file(path);
        const uint64_t sectors = 4 * MiB / 512;
        {
            Volume v(path, format);
            EXPECT_EQ(v.zero(sectors - 8, 9), ORU_E_PARAMS) << path;
            EXPECT_EQ(v.zero(sectors, 1), ORU_E_PARAMS) << path;
            EXPECT_EQ(v.zero(UINT64_MAX / 512, 2), ORU_E_PARAMS) << path;
            EXPECT_EQ(v.zero(sectors, 0), ORU_OK) << path;
        }
        {
            Volume v(path, format, ORU_RO);
            const oruError write = v.write(0, std::vector<uint8_t>(512, 0));
            EXPECT_NE(write, ORU_OK);
            EXPECT_EQ(v.zero(0, 8), write) << path;
            EXPECT_EQ(oruDiskLib_Flush(v.handle(), v.volume()), ORU_OK) << path;
        }
        EXPECT_TRUE(read_file(path) == before) << path;
    }
}

// What GetInfo says of each local format, and that a flush succeeds.
TEST_F(WriteZeroes, InfoOfLocalVolumes) {
    const std::string v3 = dir_.file("v3.qcow2"), v2 = dir_.file("v2.qcow2");
    const std::string overlay = dir_.file("overlay.qcow2");
    run_ok("qemu-img create -q -f qcow2 -o cluster_size=128k " + quote(v3) + " 10000896");
    run_ok("qemu-img create -q -f qcow2 -o compat=0.10 " + quote(v2) + " 4M");
    run_ok("qemu-img create -q -f qcow2 -o compat=0.10 -b " + quote(v2) + " -F qcow2 " +
           quote(overlay));
    const std::string raw = dir_.file("disk.raw");
    write_file(raw, pattern(5 * MiB + 1000, 5));
    const std::string luks = dir_.file("disk.luks");
    write_file(luks, pattern(kLuksHeader + 3 * MiB, 6));

    const uint32_t always = ORU_INFO_CAN_FLUSH | ORU_INFO_EXTENTS;
    struct Case {
        std::string path;
        int format;
        uint64_t capacity;
        uint32_t cluster;
        uint32_t flags;
    };
    for (const Case &c : {Case{v3, ORU_QCOW, 10000896, 128 * 1024, always | ORU_INFO_FAST_ZERO},
                          Case{v2, ORU_QCOW, 4 * MiB, 64 * 1024, always | ORU_INFO_FAST_ZERO},
                          Case{overlay, ORU_QCOW, 4 * MiB, 64 * 1024, always},
                          Case{raw, ORU_RAW, 5 * MiB + 1000, 0, always | ORU_INFO_FAST_ZERO},
                          Case{luks, ORU_LUKS, 3 * MiB, 0, always | ORU_INFO_FAST_ZERO}}) {
        for (int flag : {ORU_RW, ORU_RO}) {
            Volume v(c.path, c.format, flag);
            oruDiskLibInfo info = v.info();
            EXPECT_EQ(info.format, static_cast<uint32_t>(c.format)) << c.path;
            EXPECT_EQ(info.capacity, c.capacity) << c.path;
            EXPECT_EQ(info.clusterSize, c.cluster) << c.path;
            EXPECT_EQ(info.minBlockSize, 512u) << c.path;
            EXPECT_EQ(info.preferredBlockSize, std::max<uint32_t>(c.cluster, 4096)) << c.path;
            EXPECT_EQ(info.flags, c.flags | (flag == ORU_RO ? ORU_INFO_READ_ONLY : 0)) << c.path;
            EXPECT_EQ(oruDiskLib_Flush(v.handle(), v.volume()), ORU_OK) << c.path;
        }
    }
}

} // namespace
