// The volume operations on local images, as a caller of the shared library
// sees them: limits, LUKS region, argument refusals, handle reuse, and the
// remote "file" mode that attaches nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/handle.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

namespace {

using oru::test::pattern;
using oru::test::read_file;
using oru::test::TempDir;
using oru::test::write_file;

constexpr uint64_t kLuksRegion = 1052672;
constexpr size_t kMaxBytes = 33554432;

std::string text(oruError code) {
    return oruDiskLib_GetErrorText(code);
}

// An initialised handle, finalized when the test ends.
class Handle {
  public:
    Handle() { EXPECT_EQ(oruDiskLib_Init(&h_), ORU_OK); }
    ~Handle() { oruDiskLib_Finalize(&h_); }
    oruDiskLibHandle get() const { return h_; }
    oruDiskLibInHandle *in() const { return in_handle(h_); }

  private:
    oruDiskLibHandle h_ = nullptr;
};

struct Volume {
    explicit Volume(std::string p, int format) : path(std::move(p)) {
        v.diskPath = path.data();
        v.diskFormat = format;
        v.volumeUuid = uuid.data();
    }
    std::string path;
    std::string uuid = "dispatch-test-" + std::to_string(getpid());
    oruDiskLibVolume v{};
};

oruError open_local(Handle &h, Volume &vol, int flag = ORU_RW, const char *mode = nullptr) {
    return oruDiskLib_Open(&vol.v, flag, mode, false, h.get(), nullptr);
}

class VolumeTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string image(const std::string &name, const std::vector<uint8_t> &bytes) {
        std::string p = dir.file(name);
        write_file(p, bytes);
        return p;
    }
};

TEST_F(VolumeTest, TransferLimitIsCheckedBeforeAnythingIsTouched) {
    const auto content = pattern(kMaxBytes + 4096, 1);
    Volume vol(image("raw.img", content), ORU_RAW);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);

    std::vector<uint8_t> buf(kMaxBytes + 512, 0xEE);
    ASSERT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 65536, buf.data()), ORU_OK);
    EXPECT_EQ(0, std::memcmp(buf.data(), content.data(), kMaxBytes));
    EXPECT_EQ(buf[kMaxBytes], 0xEE);

    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 65537, buf.data()), ORU_E_MAX_BUFFER);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), static_cast<long>(buf.size()));
    EXPECT_EQ(text(ORU_E_MAX_BUFFER), "length * 512 can't over 32 * 1024 *1024 ");
    EXPECT_EQ(oruDiskLib_Write(h.get(), &vol.v, 0, 65537, buf.data()), ORU_E_MAX_BUFFER);
    // A count whose byte length wraps to 512 is still far above the limit.
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, (uint64_t{1} << 55) + 1, buf.data()),
              ORU_E_MAX_BUFFER);
    // A start whose byte offset wraps around would address the wrong bytes.
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, uint64_t{1} << 55, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 0, buf.data()), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);
    EXPECT_EQ(read_file(vol.path), content);
}

TEST_F(VolumeTest, LuksVolumeSkipsAndMovesItsHeaderRegion) {
    const auto content = pattern(2 * 1024 * 1024, 2);
    Volume vol(image("luks.img", content), ORU_LUKS);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);

    std::vector<uint8_t> sector(1024);
    ASSERT_EQ(oruDiskLib_Read(h.get(), &vol.v, 1, 2, sector.data()), ORU_OK);
    EXPECT_EQ(0, std::memcmp(sector.data(), content.data() + kLuksRegion + 512, 1024));

    std::vector<uint8_t> header(kLuksRegion);
    ASSERT_EQ(oruDiskLib_Header_get(h.get(), &vol.v, header.data()), ORU_OK);
    EXPECT_EQ(0, std::memcmp(header.data(), content.data(), kLuksRegion));

    const auto new_header = pattern(kLuksRegion, 3);
    const auto new_sector = pattern(512, 4);
    ASSERT_EQ(oruDiskLib_Header_set(h.get(), &vol.v, const_cast<uint8_t *>(new_header.data())),
              ORU_OK);
    ASSERT_EQ(oruDiskLib_Write(h.get(), &vol.v, 0, 1, const_cast<uint8_t *>(new_sector.data())),
              ORU_OK);
    ASSERT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);

    auto expected = content;
    std::copy(new_header.begin(), new_header.end(), expected.begin());
    std::copy(new_sector.begin(), new_sector.end(), expected.begin() + kLuksRegion);
    EXPECT_EQ(read_file(vol.path), expected);
}

TEST_F(VolumeTest, HeaderOfAnImageShorterThanTheRegionCopiesWhatExists) {
    const auto content = pattern(4096, 5);
    Volume vol(image("short.img", content), ORU_LUKS);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);
    std::vector<uint8_t> header(kLuksRegion, 0xAB);
    ASSERT_EQ(oruDiskLib_Header_get(h.get(), &vol.v, header.data()), ORU_OK);
    EXPECT_EQ(0, std::memcmp(header.data(), content.data(), content.size()));
    EXPECT_EQ(std::count(header.begin() + 4096, header.end(), 0xAB),
              static_cast<long>(kLuksRegion - 4096));
    // Sector 0 lies past the end: nothing to read, nothing touched.
    std::vector<uint8_t> sector(512, 0xCD);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 1, sector.data()), ORU_OK);
    EXPECT_EQ(std::count(sector.begin(), sector.end(), 0xCD), 512);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);
}

TEST_F(VolumeTest, HeaderOperationsNeedALuksDescriptor) {
    Volume vol(image("raw.img", pattern(8192, 6)), ORU_RAW);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);
    std::vector<uint8_t> header(kLuksRegion);
    EXPECT_EQ(oruDiskLib_Header_get(h.get(), &vol.v, header.data()), ORU_E_FORMAT);
    EXPECT_EQ(text(ORU_E_FORMAT), "volume format is not right");
    vol.v.diskFormat = ORU_QCOW;
    EXPECT_EQ(oruDiskLib_Header_set(h.get(), &vol.v, header.data()), ORU_E_FORMAT);
    EXPECT_EQ(oruDiskLib_Header_get(h.get(), nullptr, header.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Header_get(nullptr, &vol.v, header.data()), ORU_E_PARAMS);
    vol.v.diskFormat = ORU_RAW;
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);
}

TEST_F(VolumeTest, ArgumentRefusals) {
    Volume vol(image("raw.img", pattern(8192, 7)), ORU_RAW);
    Handle h;
    EXPECT_EQ(oruDiskLib_Open(nullptr, ORU_RO, nullptr, false, h.get(), nullptr), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Open(&vol.v, ORU_RO, nullptr, false, nullptr, nullptr), ORU_E_PARAMS);
    EXPECT_EQ(open_local(h, vol, ORU_RO, "FILE"), ORU_E_TRANS);
    EXPECT_EQ(text(ORU_E_TRANS), "transportmode only support lanfree,nbd,file,NULL");
    EXPECT_EQ(open_local(h, vol, ORU_RO, "nbd "), ORU_E_TRANS);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(oruDiskLib_Read(nullptr, &vol.v, 0, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Write(nullptr, &vol.v, 0, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Close(nullptr, &vol.v), ORU_E_PARAMS);

    // A local handle needs its descriptor; a refused close leaves it open.
    ASSERT_EQ(open_local(h, vol, ORU_RO, "nbd"), ORU_OK); // the mode plays no part locally
    EXPECT_EQ(oruDiskLib_Read(h.get(), nullptr, 0, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 1, nullptr), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Close(h.get(), nullptr), ORU_E_PARAMS);
    ASSERT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 1, buf.data()), ORU_OK);
    EXPECT_EQ(buf, pattern(512, 7));
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);
}

TEST_F(VolumeTest, FormatOutsideTheEnumOpensRawButRefusesTransfers) {
    Volume vol(image("five.img", pattern(8192, 8)), 5);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Write(h.get(), &vol.v, 0, 1, buf.data()), ORU_E_PARAMS);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);
    EXPECT_EQ(read_file(vol.path), pattern(8192, 8));
}

TEST_F(VolumeTest, BackendTextsReachTheErrorSlots) {
    Handle h;
    Volume missing(dir.file("missing.img"), ORU_RAW);
    EXPECT_EQ(open_local(h, missing), ORU_E_RAW_OPEN);
    EXPECT_EQ(text(ORU_E_RAW_OPEN), "open file failed");
    EXPECT_FALSE(std::filesystem::exists(missing.path));

    Volume not_qcow(image("plain.img", pattern(65536, 9)), ORU_QCOW);
    EXPECT_EQ(open_local(h, not_qcow), ORU_E_QCOW_OPEN);
    EXPECT_EQ(text(ORU_E_QCOW_OPEN), "The image is not qcow");

    Volume ro(image("ro.img", pattern(8192, 10)), ORU_RAW);
    ASSERT_EQ(open_local(h, ro, ORU_RO), ORU_OK);
    std::vector<uint8_t> buf(512, 1);
    EXPECT_EQ(oruDiskLib_Write(h.get(), &ro.v, 0, 1, buf.data()), ORU_E_RAW_WRITE);
    EXPECT_EQ(text(ORU_E_RAW_WRITE), "write file failed");
    EXPECT_EQ(oruDiskLib_Close(h.get(), &ro.v), ORU_OK);
    EXPECT_EQ(read_file(ro.path), pattern(8192, 10));
}

TEST_F(VolumeTest, CloseAfterAFailedOrFinishedOpenIsRefused) {
    Handle h;
    Volume missing(dir.file("missing.img"), ORU_RAW);
    ASSERT_EQ(open_local(h, missing), ORU_E_RAW_OPEN);
    EXPECT_EQ(h.in()->lblk, nullptr);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &missing.v, 0, 1, buf.data()), ORU_E_HANDLERAW);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &missing.v), ORU_E_CLOSE);

    Volume not_qcow(image("plain.img", pattern(65536, 11)), ORU_QCOW);
    ASSERT_EQ(open_local(h, not_qcow), ORU_E_QCOW_OPEN);
    EXPECT_EQ(h.in()->qblk, nullptr);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &not_qcow.v, 0, 1, buf.data()), ORU_E_HANDLEQCOW);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &not_qcow.v), ORU_E_CLOSE);

    Volume raw(image("raw.img", pattern(8192, 12)), ORU_RAW);
    ASSERT_EQ(open_local(h, raw), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &raw.v), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &raw.v), ORU_E_CLOSE); // no double release
    EXPECT_EQ(oruDiskLib_Read(h.get(), &raw.v, 0, 1, buf.data()), ORU_E_HANDLERAW);

    ASSERT_EQ(open_local(h, raw), ORU_OK);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &raw.v), ORU_OK);
}

TEST_F(VolumeTest, QcowVolumeReadsAndWritesLikeQemu) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    const std::string qcow = dir.file("disk.qcow2");
    const auto base = pattern(4 * 1024 * 1024, 13);
    const std::string raw = image("source.raw", base);
    ASSERT_EQ(oru::test::run("qemu-img convert -f raw -O qcow2 " + oru::test::quote(raw) + " " +
                             oru::test::quote(qcow))
                  .status,
              0);
    Volume vol(qcow, ORU_QCOW);
    Handle h;
    ASSERT_EQ(open_local(h, vol), ORU_OK);
    std::vector<uint8_t> buf(65536 + 1024);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 127, buf.size() / 512, buf.data()), ORU_OK);
    EXPECT_EQ(0, std::memcmp(buf.data(), base.data() + 127 * 512, buf.size()));

    const auto update = pattern(3 * 512, 14);
    EXPECT_EQ(oruDiskLib_Write(h.get(), &vol.v, 1000, 3, const_cast<uint8_t *>(update.data())),
              ORU_OK);
    ASSERT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_OK);

    auto expected = base;
    std::copy(update.begin(), update.end(), expected.begin() + 1000 * 512);
    write_file(raw, expected);
    EXPECT_EQ(oru::test::run("qemu-img check -q " + oru::test::quote(qcow)).status, 0);
    EXPECT_EQ(oru::test::run("qemu-img compare -q " + oru::test::quote(qcow) + " " +
                             oru::test::quote(raw))
                  .status,
              0);
}

// Descriptors of this process that refer to path.
int open_descriptors(const std::string &path) {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == path) ++count;
    }
    return count;
}

// A reused handle never serves the new volume from what an earlier one left
// in it; an image left open without a close is released, not leaked.
TEST_F(VolumeTest, ReusedHandleForgetsThePreviousVolume) {
    Volume raw(image("raw.img", pattern(8192, 15)), ORU_RAW);
    Volume other(image("other.img", pattern(8192, 16)), ORU_RAW);
    Handle h;
    ASSERT_EQ(open_local(h, raw), ORU_OK);
    EXPECT_EQ(open_descriptors(raw.path), 1);
    ASSERT_EQ(open_local(h, other), ORU_OK); // no close in between
    EXPECT_EQ(open_descriptors(raw.path), 0);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(oruDiskLib_Read(h.get(), &other.v, 0, 1, buf.data()), ORU_OK);
    EXPECT_EQ(buf, pattern(512, 16));
    ASSERT_EQ(oruDiskLib_Close(h.get(), &other.v), ORU_OK);

    // A transport recorded by an earlier remote volume plays no part.
    h.in()->flag = ORU_TRANSPORT_NBD;
    ASSERT_EQ(open_local(h, other), ORU_OK);
    ASSERT_EQ(oruDiskLib_Read(h.get(), &other.v, 1, 1, buf.data()), ORU_OK);
    EXPECT_EQ(buf, pattern(512, 16, 512));
    EXPECT_EQ(oruDiskLib_Close(h.get(), &other.v), ORU_OK);
    EXPECT_EQ(open_descriptors(other.path), 0);
}

// A remote open in mode "file" starts the volume's log and attaches nothing;
// every later call refuses without acting on unset fields.
TEST_F(VolumeTest, RemoteFileModeAttachesNothing) {
    ORU_REQUIRE_ROOT();
    std::string session = "session-4711";
    oruDiskLibInConnection conn{};
    conn.sessionid = session.data();
    auto connection = reinterpret_cast<oruDiskLibConnection>(&conn);
    Volume vol(dir.file("remote.img"), ORU_LUKS);
    const std::string log_path = "/var/log/tamb/" + vol.uuid + ".log";
    std::filesystem::remove(log_path);

    Handle h;
    EXPECT_EQ(oruDiskLib_Open(&vol.v, ORU_RW, "file", true, h.get(), nullptr), ORU_E_PARAMS);
    // The handle served a local LUKS volume before (never closed): none of
    // it may answer for the remote one.
    Volume local(image("local.img", pattern(2 * kLuksRegion, 17)), ORU_LUKS);
    ASSERT_EQ(open_local(h, local), ORU_OK);
    ASSERT_EQ(oruDiskLib_Open(&vol.v, ORU_RW, "file", true, h.get(), connection), ORU_OK);
    EXPECT_EQ(h.in()->lblk, nullptr);
    EXPECT_EQ(open_descriptors(local.path), 0);
    ASSERT_TRUE(std::filesystem::exists(log_path));
    const auto log = read_file(log_path);
    EXPECT_NE(std::string(log.begin(), log.end()).find("session id: :session-4711\n"),
              std::string::npos);

    std::vector<uint8_t> buf(kLuksRegion);
    EXPECT_EQ(oruDiskLib_Read(h.get(), &vol.v, 0, 1, buf.data()), ORU_E_TRANS);
    EXPECT_EQ(oruDiskLib_Write(h.get(), nullptr, 0, 1, buf.data()), ORU_E_TRANS);
    EXPECT_EQ(oruDiskLib_Header_get(h.get(), &vol.v, buf.data()), ORU_E_TRANS);
    EXPECT_EQ(oruDiskLib_Header_set(h.get(), &vol.v, buf.data()), ORU_E_TRANS);
    EXPECT_EQ(oruDiskLib_QueryAllocatedClusters(h.get(), &vol.v), ORU_E_QCOW_BITMAP);
    EXPECT_EQ(text(ORU_E_QCOW_BITMAP), "not support remote now");
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_E_CLOSE);
    EXPECT_EQ(h.in()->log, nullptr);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &vol.v), ORU_E_CLOSE);

    // A local open on a handle whose remote volume was never closed releases
    // that volume's log instead of leaking the stream.
    ASSERT_EQ(oruDiskLib_Open(&vol.v, ORU_RW, "file", true, h.get(), connection), ORU_OK);
    EXPECT_EQ(open_descriptors(log_path), 1);
    ASSERT_EQ(open_local(h, local), ORU_OK);
    EXPECT_EQ(h.in()->log, nullptr);
    EXPECT_EQ(open_descriptors(log_path), 0);
    EXPECT_EQ(oruDiskLib_Close(h.get(), &local.v), ORU_OK);
    std::filesystem::remove(log_path);
}

// The log directory is cleaned at every open, before any argument is looked at.
TEST_F(VolumeTest, EveryOpenCleansTheLogDirectoryFirst) {
    ORU_REQUIRE_ROOT();
    mkdir("/var/log/tamb", 0777);
    const std::string old = "/var/log/tamb/dispatch-test-old-" + std::to_string(getpid());
    write_file(old, {'x'});
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(nullptr) - 3 * 86400;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
    Handle h;
    Volume vol(dir.file("missing.img"), ORU_RAW);
    EXPECT_EQ(oruDiskLib_Open(&vol.v, ORU_RO, "FILE", false, h.get(), nullptr), ORU_E_TRANS);
    EXPECT_FALSE(std::filesystem::exists(old));

    write_file(old, {'x'});
    ASSERT_EQ(utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
    EXPECT_EQ(oruDiskLib_Open(nullptr, ORU_RO, nullptr, false, h.get(), nullptr), ORU_E_PARAMS);
    EXPECT_FALSE(std::filesystem::exists(old));
}

} // namespace
