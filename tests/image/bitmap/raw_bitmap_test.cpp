// Bitmaps of raw volumes from the file system's extent map.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bitmap_fixture.h"
#include "image/raw_bitmap.h"

namespace {

using namespace oru::test;

const std::string kHeader = "granularity:262144\nbitmap:";

// A sparse file of length bytes with data written at the given ranges.
void sparse_file(const std::string &path, uint64_t length,
                 std::initializer_list<std::pair<uint64_t, uint64_t>> ranges) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    for (auto [offset, size] : ranges) {
        auto data = pattern(size, offset);
        ASSERT_EQ(pwrite(fd, data.data(), size, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(size));
    }
    close(fd);
}

std::string raw_bitmap_of(const std::string &path, int format = ORU_RAW) {
    OpenVolume vol(path, format);
    EXPECT_EQ(vol.status(), ORU_OK);
    EXPECT_EQ(vol.query(), ORU_OK) << oruDiskLib_GetErrorText(ORU_E_RAW_BITMAP);
    return vol.bitmap();
}

bool is_tmpfs(const std::string &dir) {
    struct statfs fs;
    return statfs(dir.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

// Runs the same checks in a directory of the given file system: the extent
// map where there is one, SEEK_DATA/SEEK_HOLE where there is none (tmpfs).
void check_sparse_layouts(const std::string &dir) {
    const std::string image = dir + "/sparse.img";
    sparse_file(image, 1 << 20, {{299008, 4096}});
    EXPECT_EQ(raw_bitmap_of(image), kHeader + "0100");

    // An extent crossing the first granule boundary marks both granules; an
    // older, longer bitmap file is replaced, not overlaid.
    write_file(image + ".b", std::vector<uint8_t>(5000, '1'));
    sparse_file(image, 1 << 20, {{258048, 8192}});
    EXPECT_EQ(raw_bitmap_of(image), kHeader + "1100");
    EXPECT_EQ(raw_bitmap_of(image), kHeader + "1100");

    // A partial last granule has its own character; LUKS volumes are raw
    // files here, header region included.
    sparse_file(image, (3 << 18) + 1, {{0, 4096}, {3 << 18, 1}});
    EXPECT_EQ(raw_bitmap_of(image, ORU_LUKS), kHeader + "1001");

    sparse_file(image, 0, {});
    EXPECT_EQ(raw_bitmap_of(image), kHeader);
}

TEST(RawBitmapTest, SparseFilesOnTheTestFileSystem) {
    TempDir dir;
    check_sparse_layouts(dir.path());
}

TEST(RawBitmapTest, SparseFilesWithoutAnExtentMap) {
    if (!is_tmpfs("/dev/shm")) GTEST_SKIP() << "/dev/shm is not tmpfs";
    char tmpl[] = "/dev/shm/oru-bitmap-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    check_sparse_layouts(tmpl);
    run("rm -rf " + quote(tmpl));
}

// Preallocated (unwritten) extents count; preallocation past the end of the
// file has no character.
TEST(RawBitmapTest, PreallocatedExtentsCount) {
    TempDir dir;
    if (is_tmpfs(dir.path())) GTEST_SKIP() << "needs a file system with an extent map";
    const std::string image = dir.file("prealloc.img");
    sparse_file(image, 1 << 20, {});
    int fd = open(image.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fallocate(fd, 0, 600 << 10, 4096), 0);
    ASSERT_EQ(fallocate(fd, FALLOC_FL_KEEP_SIZE, 1 << 20, 1 << 20), 0);
    close(fd);
    EXPECT_EQ(raw_bitmap_of(image), kHeader + "0010");
}

TEST(RawBitmapTest, DumpMarksEveryGranuleAnExtentTouches) {
    TempDir dir;
    auto *map = static_cast<struct fiemap *>(
        std::calloc(1, sizeof(struct fiemap) + 2 * sizeof(struct fiemap_extent)));
    map->fm_length = 5 * 262144 - 1;
    map->fm_mapped_extents = 2;
    map->fm_extents[0].fe_logical = 258048; // bytes 258048 .. 266239
    map->fm_extents[0].fe_length = 8192;
    map->fm_extents[1].fe_logical = 4 * 262144; // reaches far past the end
    map->fm_extents[1].fe_length = 1ULL << 40;
    std::string image = dir.file("synthetic.img");
    char *error = nullptr;
    ASSERT_EQ(dump_fiemap(map, image.data(), &error), 0);
    auto bytes = read_file(image + ".b");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kHeader + "11001");
    std::free(map);

    std::string unwritable = dir.file("no-such-dir/x.img");
    map = static_cast<struct fiemap *>(std::calloc(1, sizeof(struct fiemap)));
    EXPECT_EQ(dump_fiemap(map, unwritable.data(), &error), -1);
    std::free(map);
}

TEST(RawBitmapTest, ReadFiemapReportsTheFileAndKeepsThePosition) {
    TempDir dir;
    const std::string image = dir.file("extents.img");
    sparse_file(image, 4 << 20, {{1 << 20, 65536}, {3 << 20, 4096}});
    int fd = open(image.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 12345, SEEK_SET), 12345);
    char *error = nullptr;
    struct fiemap *map = read_fiemap(fd, &error);
    ASSERT_NE(map, nullptr) << error;
    EXPECT_EQ(map->fm_length, 4u << 20);
    ASSERT_GE(map->fm_mapped_extents, 2u);
    EXPECT_EQ(map->fm_extents[0].fe_logical, 1u << 20);
    EXPECT_TRUE(map->fm_extents[map->fm_mapped_extents - 1].fe_flags & FIEMAP_EXTENT_LAST);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 12345);
    std::free(map);
    close(fd);
    EXPECT_EQ(read_fiemap(-1, &error), nullptr);
    EXPECT_STREQ(error, "get file information failed");
}

} // namespace
