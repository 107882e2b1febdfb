// Closing a writable image flushes it to stable storage; a read-only close
// does not. The test program provides its own fdatasync (forwarding to the
// system call) so that it can count the flushes the engine asks for.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "write_fixture.h"

namespace {
int flushes = 0;
int flushed_fd = -1;
} // namespace

extern "C" int fdatasync(int fd) {
    ++flushes;
    flushed_fd = fd;
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

using namespace oru::test;

TEST(Qcow2CloseFlush, WritableClosesFlushReadOnlyClosesDoNot) {
    TempDir dir;
    const std::string img = dir.file("a.qcow2");
    flushes = 0;
    ASSERT_EQ(qcow2_create(const_cast<char *>(img.c_str()), nullptr, 64 * 1024, 1 << 30), 0);
    EXPECT_EQ(flushes, 1); // a created image is durable too

    for (int flag : {ORU_RW, ORU_WO}) {
        OpenImage image(img, flag);
        ASSERT_TRUE(image.ok()) << image.open_text();
        ASSERT_EQ(image.write(pattern(4096, 1), 0), 4096);
        int fd = image.get()->fd;
        flushes = 0;
        image.close();
        EXPECT_EQ(flushes, 1) << flag;
        EXPECT_EQ(flushed_fd, fd);
    }

    OpenImage reader(img, ORU_RO);
    ASSERT_TRUE(reader.ok());
    flushes = 0;
    reader.close();
    EXPECT_EQ(flushes, 0);
}
