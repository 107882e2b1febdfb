// Bitmaps of qcow2 volumes and backing chains, checked against qemu-img map.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "bitmap_fixture.h"
#include "qcow2.h"

namespace {

using namespace oru::test;

struct Layout {
    const char *compat;
    uint64_t cluster;
};

class Qcow2BitmapTest : public ::testing::TestWithParam<Layout> {
  protected:
    void SetUp() override {
        if (!have_program("qemu-img") || !have_program("qemu-io"))
            GTEST_SKIP() << "qemu-img and qemu-io are needed";
    }
    TempDir dir;
};

// Writes (offset, length) ranges of data into an image through qemu-io.
std::string writes(std::initializer_list<std::pair<uint64_t, uint64_t>> ranges,
                   const char *op = "write -P 0x5a") {
    std::string args;
    for (auto [offset, length] : ranges)
        args += " -c " + quote(std::string(op) + " " + std::to_string(offset) + " " +
                               std::to_string(length));
    return args;
}

TEST_P(Qcow2BitmapTest, SingleImageAgreesWithQemuMap) {
    const Layout layout = GetParam();
    const uint64_t size = 64 * layout.cluster + 5 * 512; // a partial last cluster
    const std::string image = dir.file("disk.qcow2");
    must_run("qemu-img create -q -f qcow2 -o cluster_size=" + std::to_string(layout.cluster) +
             ",compat=" + layout.compat + " " + quote(image) + " " + std::to_string(size));
    const uint64_t c = layout.cluster;
    std::string ops = writes({{0, 512}, {3 * c - 512, 1024}, {17 * c, 5 * c}, {size - 100, 100}});
    if (std::string(layout.compat) == "1.1") ops += writes({{40 * c, 2 * c}}, "write -z");
    must_run("qemu-io -f qcow2" + ops + " " + quote(image));

    // qemu-img reads the map before the volume is open (it respects our lock).
    const std::string expected = qcow2_header(size, c) + qemu_allocation(image, size, c);
    OpenVolume vol(image, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
    EXPECT_EQ(vol.bitmap(), expected);
    EXPECT_GE(std::count(expected.begin(), expected.end(), '1'), 9);
    // A second run gives the same file.
    ASSERT_EQ(vol.query(), ORU_OK);
    EXPECT_EQ(vol.bitmap(), expected);
}

TEST_P(Qcow2BitmapTest, CompressedClustersCount) {
    const Layout layout = GetParam();
    const uint64_t c = layout.cluster;
    const uint64_t size = 32 * c;
    const std::string raw = dir.file("source.raw");
    const std::string image = dir.file("packed.qcow2");
    must_run("truncate -s " + std::to_string(size) + " " + quote(raw));
    must_run("qemu-io -f raw" + writes({{2 * c, c}, {9 * c + 7, 3000}, {31 * c, c}}) + " " +
             quote(raw));
    must_run("qemu-img convert -q -c -f raw -O qcow2 -o cluster_size=" + std::to_string(c) +
             ",compat=" + layout.compat + " " + quote(raw) + " " + quote(image));
    std::string expected(32, '0');
    expected[2] = expected[9] = expected[31] = '1';
    EXPECT_EQ(qemu_allocation(image, size, c), expected);
    OpenVolume vol(image, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
    EXPECT_EQ(vol.bitmap(), qcow2_header(size, c) + expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Qcow2BitmapTest,
                         ::testing::Values(Layout{"0.10", 65536}, Layout{"1.1", 4096},
                                           Layout{"1.1", 65536}, Layout{"1.1", 2097152}),
                         [](const auto &info) {
                             return std::string(info.param.compat[0] == '0' ? "v2_" : "v3_") +
                                    std::to_string(info.param.cluster);
                         });

class Qcow2ChainTest : public Qcow2BitmapTest {};

TEST_F(Qcow2ChainTest, ChainOfThreeMarksEveryLayerAndLeavesOnlyTheTopFile) {
    const std::string base = dir.file("base.qcow2"), mid = dir.file("mid.qcow2"),
                      top = dir.file("top.qcow2");
    must_run("qemu-img create -q -f qcow2 " + quote(base) + " 16M");
    must_run("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + quote(mid));
    must_run("qemu-img create -q -f qcow2 -b mid.qcow2 -F qcow2 " + quote(top));
    must_run("qemu-io -f qcow2" + writes({{5 * 65536, 65536}}) + " " + quote(base));
    must_run("qemu-io -f qcow2" + writes({{9 * 65536, 4096}}) + " " + quote(top));

    std::string expected(256, '0');
    expected[5] = expected[9] = '1';
    EXPECT_EQ(qemu_allocation(top, 16 << 20, 65536), expected);
    OpenVolume vol(top, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
    EXPECT_EQ(vol.bitmap(), qcow2_header(16 << 20, 65536) + expected);
    // get_bitmap alone reports the top image's own clusters.
    qcow2 *image = nullptr;
    char *error = nullptr;
    std::string top_path = top, own = dir.file("own.b");
    ASSERT_EQ(qcow2_open(top_path.data(), &image, ORU_RO, &error), 0) << error;
    EXPECT_EQ(get_bitmap(image, own.data(), &error), 0);
    qcow2_close(&image);
    std::string own_expected(256, '0');
    own_expected[9] = '1';
    auto own_bytes = read_file(own);
    EXPECT_EQ(std::string(own_bytes.begin(), own_bytes.end()),
              qcow2_header(16 << 20, 65536) + own_expected);
    std::filesystem::remove(own);
    EXPECT_EQ(oruDiskLib_QueryAllocatedClusters(nullptr, nullptr), ORU_E_PARAMS);

    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".b") {
            EXPECT_EQ(entry.path().filename(), "top.qcow2.b");
        }
    }
}

// Layers of other virtual and cluster sizes line up by guest address.
TEST_F(Qcow2ChainTest, LayersOfOtherSizesLineUpByGuestAddress) {
    const std::string base = dir.file("base.qcow2"), mid = dir.file("mid.qcow2"),
                      top = dir.file("top.qcow2");
    must_run("qemu-img create -q -f qcow2 -o cluster_size=4096 " + quote(base) + " 3M");
    must_run("qemu-img create -q -f qcow2 -o cluster_size=131072 -b base.qcow2 -F qcow2 " +
             quote(mid) + " 6M");
    must_run("qemu-img create -q -f qcow2 -o cluster_size=65536 -b mid.qcow2 -F qcow2 " +
             quote(top) + " 8M");
    // base: one 4 KiB cluster inside top cluster 17, and its last cluster;
    // mid: a 128 KiB cluster covering top clusters 40 and 41, and one that
    // reaches past the base's end; top: its last cluster.
    must_run("qemu-io -f qcow2" + writes({{17 * 65536 + 8192, 4096}, {3 * 1048576 - 4096, 4096}}) +
             " " + quote(base));
    must_run("qemu-io -f qcow2" + writes({{40 * 65536 + 100, 200}, {5 * 1048576, 1000}}) + " " +
             quote(mid));
    must_run("qemu-io -f qcow2" + writes({{8 * 1048576 - 512, 512}}) + " " + quote(top));

    const std::string expected = qemu_allocation(top, 8 << 20, 65536);
    OpenVolume vol(top, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
    EXPECT_EQ(vol.bitmap(), qcow2_header(8 << 20, 65536) + expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '1'), 7);
}

// A base shows nothing past a smaller image above it: reads there see zeros,
// so its clusters must not be counted as data of the top.
TEST_F(Qcow2ChainTest, BaseDataPastASmallerMiddleImageStaysHidden) {
    const std::string base = dir.file("base.qcow2"), mid = dir.file("mid.qcow2"),
                      top = dir.file("top.qcow2");
    must_run("qemu-img create -q -f qcow2 " + quote(base) + " 8M");
    must_run("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + quote(mid) + " 4M");
    must_run("qemu-img create -q -f qcow2 -b mid.qcow2 -F qcow2 " + quote(top) + " 8M");
    must_run("qemu-io -f qcow2" + writes({{65536, 65536}, {5 * 1048576, 65536}}) + " " +
             quote(base));

    std::string expected(128, '0');
    expected[1] = '1';
    EXPECT_EQ(qemu_allocation(top, 8 << 20, 65536), expected);
    OpenVolume vol(top, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
    EXPECT_EQ(vol.bitmap(), qcow2_header(8 << 20, 65536) + expected);
}

TEST_F(Qcow2ChainTest, MissingBackingImageFailsWithItsText) {
    const std::string base = dir.file("base.qcow2"), top = dir.file("top.qcow2");
    must_run("qemu-img create -q -f qcow2 " + quote(base) + " 1M");
    must_run("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + quote(top));
    std::filesystem::remove(base);
    OpenVolume vol(top, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    EXPECT_EQ(vol.query(), ORU_E_QCOW_BITMAP);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP), "open file failed");
}

TEST_F(Qcow2ChainTest, ChainThatLoopsIsRefused) {
    const std::string a = dir.file("a.qcow2"), b = dir.file("b.qcow2");
    must_run("qemu-img create -q -f qcow2 -u -b b.qcow2 -F qcow2 " + quote(a) + " 1M");
    must_run("qemu-img create -q -f qcow2 -u -b a.qcow2 -F qcow2 " + quote(b) + " 1M");
    OpenVolume vol(a, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    EXPECT_EQ(vol.query(), ORU_E_QCOW_BITMAP);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP), "backing chain is too long");
}

// qemu-img rounds sizes up to whole sectors; the header says what it says.
void set_virtual_size(const std::string &image, uint64_t size) {
    unsigned char field[8];
    for (int i = 0; i < 8; ++i)
        field[i] = static_cast<unsigned char>(size >> (56 - 8 * i));
    int fd = open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, field, sizeof field, 24), 8);
    close(fd);
}

TEST_F(Qcow2ChainTest, WholeDiskIsCoveredAndTheLastTableCutBack) {
    const uint64_t ten_gib = 10737418240ULL;
    for (uint64_t size : {ten_gib, ten_gib + 1}) {
        const std::string image = dir.file("big" + std::to_string(size) + ".qcow2");
        must_run("qemu-img create -q -f qcow2 " + quote(image) + " " + std::to_string(size));
        set_virtual_size(image, size);
        OpenVolume vol(image, ORU_QCOW);
        ASSERT_EQ(vol.status(), ORU_OK);
        ASSERT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP);
        const uint64_t clusters = size == ten_gib ? 163840 : 163841;
        EXPECT_EQ(vol.bitmap(), qcow2_header(size, 65536) + std::string(clusters, '0'));
    }
}

// An L2 table the file does not hold fails the query instead of crashing it
// or reporting the clusters as free.
TEST_F(Qcow2ChainTest, L2TableOutsideTheFileFailsTheQuery) {
    const std::string image = dir.file("broken.qcow2");
    must_run("qemu-img create -q -f qcow2 " + quote(image) + " 64M");
    must_run("qemu-io -f qcow2" + writes({{0, 4096}}) + " " + quote(image));
    {
        oru::test::CommandResult r = run("od -An -tx1 -j40 -N8 " + quote(image));
        ASSERT_EQ(r.status, 0);
        uint64_t l1_offset = 0;
        for (char ch : r.out)
            if (std::isxdigit(static_cast<unsigned char>(ch)))
                l1_offset = l1_offset * 16 + std::stoul(std::string(1, ch), nullptr, 16);
        const unsigned char entry[8] = {0x80, 0, 0x01, 0, 0, 0, 0, 0}; // L2 at 1 TiB
        int fd = open(image.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, entry, sizeof entry, static_cast<off_t>(l1_offset)), 8);
        close(fd);
    }
    OpenVolume vol(image, ORU_QCOW);
    ASSERT_EQ(vol.status(), ORU_OK);
    EXPECT_EQ(vol.query(), ORU_E_QCOW_BITMAP);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_QCOW_BITMAP), "load l2_table failed");
}

TEST(ComfileTest, OrsTheSourceIntoTheDestinationByPosition) {
    TempDir dir;
    std::string source = dir.file("source"), dest = dir.file("dest");
    write_file(source, {'0', '1', '0', '1', '1', '1'});
    write_file(dest, {'0', '0', '1', '1'});
    EXPECT_EQ(comfile(source.data(), dest.data()), 0);
    EXPECT_EQ(read_file(dest), (std::vector<uint8_t>{'0', '1', '1', '1'}));
    write_file(source, {'1'});
    EXPECT_EQ(comfile(source.data(), dest.data()), 0);
    EXPECT_EQ(read_file(dest), (std::vector<uint8_t>{'1', '1', '1', '1'}));
    std::string missing = dir.file("missing");
    EXPECT_EQ(comfile(missing.data(), dest.data()), -1);
    EXPECT_EQ(comfile(source.data(), missing.data()), -1);
}

} // namespace
