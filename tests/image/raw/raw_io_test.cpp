// Raw images through the raw backend: open, clamping at the size measured at
// open, read-only handles, missing descriptors, creation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "rwimage1.h"
#include "support/test_support.h"

using oru::test::pattern;
using oru::test::read_file;
using oru::test::TempDir;
using oru::test::write_file;

namespace {

constexpr size_t kImageSize = 64 * 1024;

// An image of kImageSize pattern bytes, opened through raw_open.
class RawImage : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("disk.raw");
        contents_ = pattern(kImageSize, 7);
        write_file(path_, contents_);
    }
    void TearDown() override { raw_close(&handle_); }

    void open_as(int flag) {
        char *error = nullptr;
        ASSERT_EQ(raw_open(path_.c_str(), flag, &handle_, &error), 0) << (error ? error : "");
    }
    off_t position() const { return lseek(handle_.fd, 0, SEEK_CUR); }

    TempDir dir_;
    std::string path_;
    std::vector<uint8_t> contents_;
    oru_file_handle handle_{};
};

// Runs body in a child process and hands back its exit status, so that a
// test can change process-wide state (descriptors, system call filters).
int in_child(const std::function<int()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Makes every later fstatfs of this process fail with EIO.
bool refuse_fstatfs() {
#if defined(__x86_64__)
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fstatfs, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

} // namespace

TEST_F(RawImage, OpenRecordsSizeModeAndKeepsThePosition) {
    open_as(ORU_RO);
    EXPECT_GT(handle_.fd, 0);
    EXPECT_EQ(handle_.size, kImageSize);
    EXPECT_EQ(handle_.flag, ORU_RO);
    EXPECT_EQ(position(), 0);
    raw_close(&handle_);
    EXPECT_EQ(handle_.fd, -1); // a second close cannot hit a reused number
    EXPECT_EQ(raw_close(&handle_), 0);
    // Unknown flags open read-write and say so.
    open_as(7);
    EXPECT_EQ(handle_.flag, ORU_RW);
}

TEST_F(RawImage, MissingFileIsNotCreated) {
    char *error = nullptr;
    std::string missing = dir_.file("missing.raw");
    EXPECT_EQ(raw_open(missing.c_str(), ORU_RW, &handle_, &error), -1);
    EXPECT_STREQ(error, "open file failed");
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
    EXPECT_EQ(raw_open(nullptr, ORU_RW, &handle_, &error), -1);
}

TEST_F(RawImage, ReadsAreClampedToTheSizeAtOpen) {
    open_as(ORU_RO);
    char *error = nullptr;
    std::vector<uint8_t> buf(1024, 0xEE);
    // 1,024 bytes from 512 before the end: the tail of the file, then untouched.
    ASSERT_EQ(raw_read(&handle_, kImageSize - 512, buf.size(), buf.data(), &error), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, contents_.end() - 512));
    EXPECT_TRUE(std::all_of(buf.begin() + 512, buf.end(), [](uint8_t b) { return b == 0xEE; }));
    // At the end and beyond it nothing is read and the buffer is untouched.
    std::vector<uint8_t> untouched(1024, 0xAB);
    for (uint64_t offset : {uint64_t{kImageSize}, uint64_t{kImageSize} + 4096, UINT64_MAX - 10}) {
        ASSERT_EQ(raw_read(&handle_, offset, untouched.size(), untouched.data(), &error), 0);
        EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xAB; }));
    }
    // A whole-file read in one call; the descriptor's position never moves.
    std::vector<uint8_t> whole(kImageSize);
    ASSERT_EQ(raw_read(&handle_, 0, whole.size(), whole.data(), &error), 0);
    EXPECT_EQ(whole, contents_);
    EXPECT_EQ(position(), 0);
}

TEST_F(RawImage, WritesNeverGrowTheFile) {
    open_as(ORU_RW);
    char *error = nullptr;
    auto data = pattern(8192, 99);
    ASSERT_EQ(raw_write(&handle_, kImageSize - 4096, data.size(), data.data(), &error), 0);
    ASSERT_EQ(raw_write(&handle_, kImageSize + 512, data.size(), data.data(), &error), 0);
    ASSERT_EQ(raw_write(&handle_, 512, 0, data.data(), &error), 0);
    EXPECT_EQ(position(), 0);
    raw_close(&handle_);
    auto after = read_file(path_);
    ASSERT_EQ(after.size(), kImageSize);
    EXPECT_TRUE(std::equal(after.end() - 4096, after.end(), data.begin()));
    EXPECT_TRUE(std::equal(after.begin(), after.end() - 4096, contents_.begin()));
}

TEST_F(RawImage, SizeStaysWhatItWasAtOpen) {
    open_as(ORU_RW);
    ASSERT_EQ(truncate(path_.c_str(), 2 * kImageSize), 0); // grown behind our back
    char *error = nullptr;
    auto data = pattern(4096, 3);
    ASSERT_EQ(raw_write(&handle_, kImageSize, data.size(), data.data(), &error), 0);
    raw_close(&handle_);
    auto after = read_file(path_);
    EXPECT_TRUE(std::all_of(after.begin() + kImageSize, after.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(RawImage, WriteThroughAReadOnlyHandleFails) {
    open_as(ORU_RO);
    char *error = nullptr;
    std::vector<uint8_t> data(4096, 1);
    EXPECT_EQ(raw_write(&handle_, 0, data.size(), data.data(), &error), -1);
    EXPECT_STREQ(error, "write file failed");
    EXPECT_EQ(read_file(path_), contents_);
}

TEST_F(RawImage, ReadThroughAWriteOnlyHandleFails) {
    open_as(ORU_WO);
    char *error = nullptr;
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(raw_read(&handle_, 0, buf.size(), buf.data(), &error), -1);
    EXPECT_STREQ(error, "read file failed");
}

TEST(RawHandle, NoDescriptorIsRefused) {
    char *error = nullptr;
    std::vector<uint8_t> buf(512);
    for (int fd : {0, -1}) {
        oru_file_handle handle{fd, 1 << 20, ORU_RW};
        EXPECT_EQ(raw_read(&handle, 0, buf.size(), buf.data(), &error), -1);
        EXPECT_STREQ(error, "handle's fd is not right");
        error = nullptr;
        EXPECT_EQ(raw_write(&handle, 0, buf.size(), buf.data(), &error), -1);
        EXPECT_STREQ(error, "handle's fd is not right");
    }
    EXPECT_EQ(raw_read(nullptr, 0, buf.size(), buf.data(), &error), -1);
    EXPECT_EQ(raw_close(nullptr), 0);
}

// With standard input closed the image would land on descriptor 0, which
// every later call takes for "no descriptor".
TEST_F(RawImage, ImageNeverLandsOnDescriptorZero) {
    int status = in_child([&] {
        close(0);
        oru_file_handle handle{};
        char *error = nullptr;
        if (raw_open(path_.c_str(), ORU_RW, &handle, &error) != 0) return 1;
        if (handle.fd <= 0) return 2;
        if (fcntl(0, F_GETFD) != -1) return 3; // nothing left behind on 0
        std::vector<uint8_t> buf(512);
        if (raw_read(&handle, 0, buf.size(), buf.data(), &error) != 0) return 4;
        raw_close(&handle);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(RawImage, UnknownFreeSpaceRefusesTheWrite) {
    int status = in_child([&] {
        oru_file_handle handle{};
        char *error = nullptr;
        if (raw_open(path_.c_str(), ORU_RW, &handle, &error) != 0) return 1;
        if (!refuse_fstatfs()) return 77;
        std::vector<uint8_t> data(512, 0x5A);
        int rc = raw_write(&handle, 0, data.size(), data.data(), &error);
        raw_close(&handle);
        if (rc != -1) return 2;
        return std::strcmp(error, "get disk free space failed") == 0 ? 0 : 3;
    });
    if (status == 77) GTEST_SKIP() << "no seccomp filter here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path_), contents_);
}

TEST(RawCreate, CreatesSparseAndTruncatesExisting) {
    TempDir dir;
    std::string path = dir.file("new.raw");
    ASSERT_EQ(raw_create(path.data(), 10 << 20), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10 << 20);
    EXPECT_LT(st.st_blocks * 512, 10 << 20); // sparse
    write_file(path, pattern(10 << 20, 1));
    ASSERT_EQ(raw_create(path.data(), 1 << 20), 0);
    auto after = read_file(path);
    ASSERT_EQ(after.size(), size_t{1} << 20);
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0; }));
    std::string in_missing_dir = dir.file("no/such/dir.raw");
    EXPECT_EQ(raw_create(in_missing_dir.data(), 4096), -1);
    EXPECT_EQ(raw_create(path.data(), -1), -1);
}
