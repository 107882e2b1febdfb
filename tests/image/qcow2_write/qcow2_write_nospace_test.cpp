// A write that needs a new cluster on a full file system is refused and
// allocates nothing, while writes into allocated clusters still land. The
// file system is a small tmpfs mounted in a private mount namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "write_fixture.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

// Writes until the file system is full.
void fill(const std::string &path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> block(4096, 0xee);
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
}

} // namespace

TEST(Qcow2WriteNoSpace, FullFileSystemRefusesNewClustersOnly) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir outer;
    const std::string fs = outer.file("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
    if (!mount_private_tmpfs(fs, "2m")) GTEST_SKIP() << "no private mount namespace";
    const std::string img = fs + "/a.qcow2";
    RawReference ref(outer.file("a.raw"), 4 * GiB);

    ASSERT_EQ(qcow2_create(const_cast<char *>(img.c_str()), nullptr, 64 * KiB, 4 * GiB), 0);
    std::string text;
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok());
        auto whole = pattern(64 * KiB, 1);
        ASSERT_EQ(image.write(whole, 0), static_cast<int>(whole.size()));
        ref.write(whole, 0);
        write_file(fs + "/spare", pattern(68 * KiB, 2)); // room for one cluster, later
        fill(fs + "/filler");

        const std::vector<uint8_t> before = file_bytes(img);
        EXPECT_EQ(image.write(pattern(512, 3), 1 * MiB, &text), -1);
        EXPECT_EQ(text, "dest storage pool doesn't have enough space");
        EXPECT_EQ(image.write(pattern(512, 3), 600 * MiB, &text), -1);
        EXPECT_EQ(text, "dest storage pool doesn't have enough space");
        EXPECT_EQ(file_bytes(img), before);

        auto in_place = pattern(4096, 4);
        EXPECT_EQ(image.write(in_place, 8192), 4096);
        ref.write(in_place, 8192);

        // Room for one cluster: a range without an L2 table needs two and
        // gets none; a cluster under an existing table fits.
        ASSERT_EQ(unlink((fs + "/spare").c_str()), 0);
        const uint64_t length = file_length(img);
        EXPECT_EQ(image.write(pattern(512, 5), 600 * MiB, &text), -1);
        EXPECT_EQ(text, "dest storage pool doesn't have enough space");
        EXPECT_EQ(file_length(img), length);
        auto one = pattern(512, 6);
        EXPECT_EQ(image.write(one, 1 * MiB), 512);
        ref.write(one, 1 * MiB);
    }
    ASSERT_EQ(unlink((fs + "/filler").c_str()), 0);
    EXPECT_EQ(qemu_check(img), "");
    EXPECT_EQ(qemu_compare(img, ref.path()), "");
    umount2(fs.c_str(), MNT_DETACH);
}
