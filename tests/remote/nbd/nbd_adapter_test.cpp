// The NBD adapter against real qemu-nbd exports on loopback.
#include <libnbd.h>

#include <cstring>

#include "oruDiskLib.h"
#include "qemu_nbd_export.h"
#include "rwimage1.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

constexpr size_t kImageSize = 4 << 20;

struct AdapterTest : ::testing::Test {
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("qemu-nbd");
        image = dir.file("disk.raw");
        write_file(image, pattern(kImageSize, 7));
    }
    TempDir dir;
    std::string image;
    char error[100] = {};
};

std::vector<uint8_t> bytes_at(const std::vector<uint8_t> &v, size_t off, size_t n) {
    return {v.begin() + static_cast<long>(off), v.begin() + static_cast<long>(off + n)};
}

TEST_F(AdapterTest, ConnectSizeReadWriteDisconnect) {
    QemuNbdExport server({.address = "127.0.0.2", .port = 10809, .image = image,
                          .format = "raw", .name = "vol-a"});
    ASSERT_TRUE(server.running()) << server.error();

    nbd_handle *nbd = nullptr;
    std::string port = server.port_text();
    ASSERT_EQ(sdk_img_conn(&nbd, (char *)"127.0.0.2", port.data(), (char *)"vol-a", error), 0)
        << error;
    uint64_t size = 0;
    ASSERT_EQ(sdk_img_size(nbd, &size, error), 0);
    EXPECT_EQ(size, kImageSize);

    std::vector<uint8_t> got(65536);
    ASSERT_EQ(sdk_img_read(nbd, got.data(), got.size(), 1 << 20, error), 0) << error;
    EXPECT_EQ(got, pattern(65536, 7, 1 << 20));

    // A large read travels as several commands and still arrives whole; one
    // that reaches past the end fails whole.
    std::vector<uint8_t> big(3 * 1024 * 1024 + 512);
    ASSERT_EQ(sdk_img_read(nbd, big.data(), big.size(), 512 * 7, error), 0) << error;
    EXPECT_EQ(big, pattern(big.size(), 7, 512 * 7));
    EXPECT_EQ(sdk_img_read(nbd, big.data(), big.size(), kImageSize - (1 << 20), error), -1);
    EXPECT_GT(std::strlen(error), 0u);

    // The length, not the buffer address, must be sector-aligned; nothing is sent.
    EXPECT_EQ(sdk_img_read(nbd, got.data(), 1000, 0, error), -1);
    EXPECT_STREQ(error, "buffer need to be aligned with 512");
    EXPECT_EQ(sdk_img_read(nbd, got.data() + 1, 512, 0, error), 0);
    // Zero bytes pass the alignment test and reach libnbd, which refuses them
    // (the volume layer never sends an empty request).
    EXPECT_EQ(sdk_img_read(nbd, got.data(), 0, 0, error), -1);
    EXPECT_NE(std::string(error).find("count"), std::string::npos) << error;

    auto fresh = pattern(8192, 99);
    ASSERT_EQ(sdk_img_write(nbd, fresh.data(), fresh.size(), 3 << 20, error), 0) << error;
    // Writes are not length-checked by the adapter: the server takes 1000 bytes.
    ASSERT_EQ(sdk_img_write(nbd, fresh.data(), 1000, 8192, error), 0) << error;

    // A read past the export end is refused by libnbd with its own text.
    std::memset(error, 0, sizeof error);
    EXPECT_EQ(sdk_img_read(nbd, got.data(), 1024, kImageSize - 512, error), -1);
    EXPECT_GT(std::strlen(error), 0u);

    ASSERT_EQ(sdk_disconn(&nbd, error), 0) << error;
    EXPECT_EQ(nbd, nullptr) << "the slot is cleared once the handle is released";
    std::strcpy(error, "kept");
    EXPECT_EQ(sdk_disconn(&nbd, error), -1);
    EXPECT_STREQ(error, "kept");

    auto file = read_file(image);
    EXPECT_EQ(bytes_at(file, 3 << 20, 8192), fresh);
    EXPECT_EQ(bytes_at(file, 8192, 1000), bytes_at(fresh, 0, 1000));
    EXPECT_EQ(bytes_at(file, 9192, 1000), pattern(1000, 7, 9192));
}

TEST_F(AdapterTest, ReadOnlyExportRefusesWritesWithoutSending) {
    QemuNbdExport server({.address = "127.0.0.3", .port = 10809, .image = image,
                          .format = "raw", .name = "ro", .read_only = true});
    ASSERT_TRUE(server.running()) << server.error();
    nbd_handle *nbd = nullptr;
    std::string port = server.port_text();
    ASSERT_EQ(sdk_img_conn(&nbd, (char *)"127.0.0.3", port.data(), (char *)"ro", error), 0);
    auto data = pattern(4096, 5);
    EXPECT_EQ(sdk_img_write(nbd, data.data(), data.size(), 0, error), -1);
    EXPECT_STREQ(error, "nbd is read only");
    std::vector<uint8_t> got(4096);
    EXPECT_EQ(sdk_img_read(nbd, got.data(), got.size(), 0, error), 0);
    EXPECT_EQ(got, pattern(4096, 7));
    EXPECT_EQ(sdk_disconn(&nbd, error), 0);
    EXPECT_EQ(read_file(image), pattern(kImageSize, 7));
}

TEST_F(AdapterTest, FailuresLeaveBoundedTextsAndReleasableHandles) {
    // Nobody listens here: the connect fails and leaves a handle in the slot.
    nbd_handle *nbd = nullptr;
    std::memset(error, 'X', sizeof error);
    EXPECT_EQ(sdk_img_conn(&nbd, (char *)"127.0.0.4", (char *)"10809", (char *)"v", error), -1);
    ASSERT_NE(nbd, nullptr);
    EXPECT_LT(strnlen(error, sizeof error), sizeof error) << "text must be terminated";
    EXPECT_GT(std::strlen(error), 0u);

    uint64_t size = 0;
    EXPECT_EQ(sdk_img_size(nbd, &size, error), -1);
    EXPECT_EQ(size, UINT64_MAX);
    EXPECT_EQ(sdk_img_size(nullptr, &size, error), -1);

    // The dead handle can still be released, and only once.
    EXPECT_EQ(sdk_disconn(&nbd, error), 0);
    EXPECT_EQ(nbd, nullptr);
    EXPECT_EQ(sdk_disconn(&nbd, error), -1);

    // Null handles.
    char buf[512];
    EXPECT_EQ(sdk_img_write(nullptr, buf, 512, 0, error), -1);
    EXPECT_STREQ(error, "handle is NULL");
    EXPECT_EQ(sdk_img_read(nullptr, buf, 512, 0, error), -1);
    EXPECT_STREQ(error, "handle is NULL");
    EXPECT_EQ(sdk_img_detect(nullptr, 123, 456), 1);

    // A libnbd text longer than the buffer is cut to 99 bytes plus NUL: an
    // export name that the server does not know shows up in a long message.
    QemuNbdExport server({.address = "127.0.0.5", .port = 10809, .image = image,
                          .format = "raw", .name = "known"});
    ASSERT_TRUE(server.running()) << server.error();
    std::string long_name(200, 'n');
    std::memset(error, 'X', sizeof error);
    EXPECT_EQ(sdk_img_conn(&nbd, (char *)"127.0.0.5", (char *)"10809", long_name.data(), error),
              -1);
    EXPECT_EQ(error[99], '\0');
    EXPECT_EQ(sdk_disconn(&nbd, error), 0);
}

} // namespace
