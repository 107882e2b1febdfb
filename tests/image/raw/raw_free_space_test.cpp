// The free-space check of raw writes, on a real, tiny file system: a
// size-limited tmpfs mounted in this process's own mount namespace, so
// nothing is visible outside the test.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "rwimage1.h"
#include "support/test_support.h"

using oru::test::pattern;
using oru::test::read_file;
using oru::test::TempDir;
using oru::test::write_file;

namespace {

constexpr size_t kPage = 4096;

class TinyFileSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        if (!oru::test::mount_private_tmpfs(mnt_.path(), "64k"))
            GTEST_SKIP() << "no private mount namespace: " << strerror(errno);
        mounted_ = true;
        image_ = mnt_.file("disk.raw");
        contents_ = pattern(4 * kPage, 11);
        write_file(image_, contents_);
        char *error = nullptr;
        ASSERT_EQ(raw_open(image_.c_str(), ORU_RW, &handle_, &error), 0);
    }
    void TearDown() override {
        raw_close(&handle_);
        if (mounted_) umount2(mnt_.path().c_str(), MNT_DETACH);
    }

    // Fills the file system until exactly `pages` pages stay available.
    void leave_available(size_t pages) {
        std::string filler = mnt_.file("filler");
        int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::vector<char> page(kPage, 'f');
        while (write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        }
        close(fd);
        // tmpfs may have left a partial page; drop whole pages until the count is right.
        for (;;) {
            struct statfs fs;
            ASSERT_EQ(statfs(mnt_.path().c_str(), &fs), 0);
            uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_bsize;
            if (available >= pages * kPage) {
                ASSERT_EQ(available, pages * kPage);
                return;
            }
            struct stat st;
            ASSERT_EQ(stat(filler.c_str(), &st), 0);
            ASSERT_GT(st.st_size, 0);
            ASSERT_EQ(truncate(filler.c_str(), st.st_size - static_cast<off_t>(kPage)), 0);
        }
    }

    TempDir mnt_;
    bool mounted_ = false;
    std::string image_;
    std::vector<uint8_t> contents_;
    oru_file_handle handle_{};
};

} // namespace

TEST_F(TinyFileSystem, FullFileSystemRefusesEvenAnOverwrite) {
    leave_available(0);
    char *error = nullptr;
    auto data = pattern(kPage, 12);
    EXPECT_EQ(raw_write(&handle_, 0, data.size(), data.data(), &error), -1);
    EXPECT_STREQ(error, "the disk has no enough space");
    EXPECT_EQ(read_file(image_), contents_);
    // Nothing to write needs no room.
    EXPECT_EQ(raw_write(&handle_, 0, 0, data.data(), &error), 0);
    // Reads are not affected.
    std::vector<uint8_t> buf(kPage);
    EXPECT_EQ(raw_read(&handle_, 0, buf.size(), buf.data(), &error), 0);
}

TEST_F(TinyFileSystem, WriteLargerThanTheFreeSpaceIsRefusedSmallerPasses) {
    leave_available(1);
    char *error = nullptr;
    auto data = pattern(2 * kPage, 13);
    EXPECT_EQ(raw_write(&handle_, 0, data.size(), data.data(), &error), -1);
    EXPECT_STREQ(error, "the disk has no enough space");
    EXPECT_EQ(raw_write(&handle_, kPage, kPage, data.data(), &error), 0);
    // The check is on the clamped length: 2 pages asked at the last page of
    // the image is 1 page, which fits.
    EXPECT_EQ(raw_write(&handle_, 3 * kPage, data.size(), data.data(), &error), 0);
    auto after = read_file(image_);
    ASSERT_EQ(after.size(), contents_.size());
    EXPECT_TRUE(std::equal(after.begin() + kPage, after.begin() + 2 * kPage, data.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 3 * kPage, after.end(), data.begin()));
}
