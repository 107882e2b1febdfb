// Closing a writable image flushes it to stable storage; a read-only close
// does not. The test program provides its own fdatasync (forwarding to the
// system call) so that it can count the flushes the engine asks for.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "oruDiskLib.h"

#include "write_fixture.h"

namespace {
int flushes = 0;
int flushed_fd = -1;
bool fail_flushes = false; // stands for a device that reports a write-back error
} // namespace

extern "C" int fdatasync(int fd) {
    ++flushes;
    flushed_fd = fd;
    if (fail_flushes) {
        errno = EIO;
        return -1;
    }
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

// A close whose flush fails must not be reported as success: the caller
// would take data that may never reach the disk for durable.
TEST(Qcow2CloseFlush, VolumeCloseReportsAFailedFlush) {
    TempDir dir;
    const std::string img = dir.file("v.qcow2");
    ASSERT_EQ(qcow2_create(const_cast<char *>(img.c_str()), nullptr, 64 * 1024, 1 << 20), 0);
    oruDiskLibVolume volume{};
    volume.diskPath = const_cast<char *>(img.c_str());
    volume.diskFormat = ORU_QCOW;
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, nullptr, false, handle, nullptr), ORU_OK);
    std::vector<uint8_t> data = pattern(512, 7);
    ASSERT_EQ(oruDiskLib_Write(handle, &volume, 0, 1, data.data()), ORU_OK);
    fail_flushes = true;
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_E_QCOW_WRITE);
    fail_flushes = false;
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_QCOW_WRITE), "flush image file failed");
    // The image is released all the same: a second close finds nothing open.
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_E_CLOSE);
    oruDiskLib_Finalize(&handle);
}
