// The NBD write path through the volume calls, against real servers: a
// pipelined write that fails in the middle reports the failure; each Write
// ends with one flush and write-back handles flush only at Flush and Close
// (nbdkit's log filter is the oracle); an export with 4 KiB minimum and
// 64 KiB maximum blocks that refuses anything else still takes unaligned
// reads, writes and zeroings; WriteZeroes over a qcow2 export leaves zero
// clusters, checked with qemu-img once the export has ended.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "core/handle.h"
#include "image/extents/extents_oracle.h"
#include "nbd_test_volume.h"
#include "qemu_nbd_export.h"
#include "remote/transport.h"
#include "support/nbdkit_server.h"

using namespace oru::test;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// An NBD volume handle wired to an export, as the NBD attach leaves it.
struct NbdVolume : NbdTestVolume {
    NbdVolume(const std::string &port, int open_flag, const std::string &name = "")
        : NbdTestVolume(port, name, ORU_RAW, open_flag) {}
    oruError write(uint64_t sector, const std::vector<uint8_t> &data) {
        return oruDiskLib_Write(handle(), &volume, sector, data.size() / 512,
                                const_cast<uint8_t *>(data.data()));
    }
    std::vector<uint8_t> read(uint64_t sector, uint64_t sectors) {
        std::vector<uint8_t> got(sectors * 512);
        EXPECT_EQ(oruDiskLib_Read(handle(), &volume, sector, sectors, got.data()), ORU_OK)
            << nbderror;
        return got;
    }
};

// The commands nbdkit's log filter saw, one word each ("Write", "Flush",
// "Zero"), with " fua" or " trim" where the command carried the flag.
std::vector<std::string> commands(const std::string &log) {
    std::ifstream in(log);
    std::vector<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string date, time, connection, name;
        words >> date >> time >> connection >> name;
        if (name != "Write" && name != "Flush" && name != "Zero") continue;
        if (line.find("fua=1") != std::string::npos) name += " fua";
        if (line.find("trim=1") != std::string::npos) name += " trim";
        seen.push_back(name);
    }
    return seen;
}

TEST(NbdWritePath, FailureInTheMiddleOfAPipelinedWriteIsReported) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("nbdkit");
    TempDir dir;
    const std::string disk = dir.file("disk.raw");
    write_file(disk, std::vector<uint8_t>(16 * kMiB));
    // Writes from 8 MiB on fail with EIO; everything before them lands.
    const std::string f = quote(disk);
    NbdkitServer server("10811", "eval get_size='echo 16777216' can_write='exit 0' flush='exit 0' "
                  "pread='dd if=" +
                  f +
                  " skip=$4 count=$3 iflag=skip_bytes,count_bytes "
                  "status=none' "
                  "pwrite='if [ $4 -ge 8388608 ]; then echo EIO injected >&2; exit 1; fi; "
                  "dd of=" +
                  f + " seek=$4 oflag=seek_bytes conv=notrunc status=none'");
    ASSERT_GT(server.pid, 0);
    for (int flag : {int{ORU_RW}, ORU_RW | ORU_WRITEBACK}) {
        NbdVolume v("10811", flag);
        ASSERT_TRUE(v.ok);
        const auto data = pattern(12 * kMiB, flag);
        EXPECT_EQ(v.write(0, data), ORU_E_REMOTE_WRITE);
        // The connection outlives the failure: commands still in flight
        // were awaited, not abandoned.
        std::vector<uint8_t> want(data.begin(), data.begin() + kMiB);
        EXPECT_EQ(v.read(0, kMiB / 512), want);
    }
}

TEST(NbdWritePath, OneFlushPerWriteOrOnlyAtFlushAndCloseWithWriteBack) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("nbdkit");
    TempDir dir;
    const std::string log = dir.file("nbdkit.log");
    NbdkitServer server("10811", "--filter=log memory 64M logfile=" + quote(log));
    ASSERT_GT(server.pid, 0);
    const auto data = pattern(kMiB, 3);
    {
        NbdVolume v("10811", ORU_RW);
        ASSERT_TRUE(v.ok);
        ASSERT_EQ(v.write(0, data), ORU_OK) << nbderror;
        ASSERT_EQ(oruDiskLib_WriteZeroes(v.handle(), &v.volume, 4096, 8192), ORU_OK) << nbderror;
        EXPECT_EQ(v.read(0, kMiB / 512), data);
        ASSERT_EQ(oruDiskLib_Close(v.handle(), &v.volume), ORU_OK);
    }
    // 256 KiB commands without FUA, one flush at the end of each call; the
    // zeroing may leave holes (no NBD_CMD_FLAG_NO_HOLE).
    EXPECT_EQ(commands(log), (std::vector<std::string>{"Write", "Write", "Write", "Write", "Flush",
                                                       "Zero trim", "Flush"}));
    {
        NbdVolume v("10811", ORU_RW | ORU_WRITEBACK);
        ASSERT_TRUE(v.ok);
        oruDiskLibInfo info{};
        info.structSize = sizeof info;
        ASSERT_EQ(oruDiskLib_GetInfo(v.handle(), &v.volume, &info), ORU_OK);
        EXPECT_EQ(info.capacity, 64 * kMiB);
        EXPECT_EQ(info.flags & (ORU_INFO_CAN_FLUSH | ORU_INFO_FAST_ZERO | ORU_INFO_READ_ONLY),
                  unsigned{ORU_INFO_CAN_FLUSH | ORU_INFO_FAST_ZERO});
        ASSERT_EQ(v.write(2048, data), ORU_OK);
        ASSERT_EQ(oruDiskLib_WriteZeroes(v.handle(), &v.volume, 8192, 8), ORU_OK);
        ASSERT_EQ(oruDiskLib_Flush(v.handle(), &v.volume), ORU_OK);
        ASSERT_EQ(v.write(4096, std::vector<uint8_t>(data.begin(), data.begin() + 4096)), ORU_OK);
        ASSERT_EQ(oruDiskLib_Close(v.handle(), &v.volume), ORU_OK);
    }
    std::vector<std::string> want{"Write", "Write",     "Write", "Write",
                                  "Flush", "Zero trim", "Flush"};
    for (const char *c :
         {"Write", "Write", "Write", "Write", "Zero trim", "Flush", "Write", "Flush"})
        want.push_back(c);
    EXPECT_EQ(commands(log), want);
}

TEST(NbdWritePath, ExportWithLargeMinimumAndSmallMaximumBlocks) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("nbdkit");
    // Anything unaligned to 4 KiB or above 64 KiB is refused by the server.
    NbdkitServer server("10811", "--filter=blocksize-policy memory 8M blocksize-minimum=4096 "
                  "blocksize-preferred=16384 blocksize-maximum=65536 "
                  "blocksize-error-policy=error");
    ASSERT_GT(server.pid, 0);
    NbdVolume v("10811", ORU_RW);
    ASSERT_TRUE(v.ok);
    oruDiskLibInfo info{};
    info.structSize = sizeof info;
    ASSERT_EQ(oruDiskLib_GetInfo(v.handle(), &v.volume, &info), ORU_OK);
    EXPECT_EQ(info.minBlockSize, 4096u);
    EXPECT_EQ(info.preferredBlockSize, 16384u);
    EXPECT_EQ(info.maxRequestBytes, 32 * kMiB) << "larger requests are split";

    std::vector<uint8_t> model(8 * kMiB);
    auto put = [&](uint64_t sector, const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(v.write(sector, bytes), ORU_OK) << nbderror;
        std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<long>(sector * 512));
    };
    put(0, pattern(2 * kMiB, 1));
    put(3, pattern(300 * 512, 2));   // both ends inside 4 KiB blocks, split at 64 KiB
    put(1025, pattern(512, 3));      // inside one block
    put(2048 + 7, pattern(kMiB, 4)); // an aligned end after an unaligned start
    ASSERT_EQ(oruDiskLib_WriteZeroes(v.handle(), &v.volume, 5, 4000), ORU_OK) << nbderror;
    std::fill(model.begin() + 5 * 512, model.begin() + 4005 * 512, 0);
    for (uint64_t sector : {uint64_t{0}, uint64_t{1}, uint64_t{1025}, uint64_t{4003}}) {
        const std::vector<uint8_t> got = v.read(sector, 1031);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), model.begin() + sector * 512))
            << "read at sector " << sector;
    }
    EXPECT_TRUE(v.read(0, 8 * kMiB / 512) == model);
}

TEST(NbdWritePath, WriteZeroesLeavesZeroClustersInAQcow2Export) {
    ORU_REQUIRE_ROOT();
    for (const char *tool : {"qemu-img", "qemu-io", "qemu-nbd"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string img = dir.file("disk.qcow2"), ref = dir.file("ref.raw");
    run_ok("qemu-img create -q -f qcow2 " + quote(img) + " 64M");
    run_ok("qemu-io -f qcow2 -c 'write -P 7 0 64M' " + quote(img));
    run_ok("qemu-img convert -O raw " + quote(img) + " " + quote(ref));
    // Sectors 5 .. 40 MiB + 3 sectors: partial clusters at both ends.
    const uint64_t first = 5, count = 40 * kMiB / 512 - 2;
    run_ok("qemu-io -f raw -c 'write -z " + std::to_string(first * 512) + " " +
       std::to_string(count * 512) + "' " + quote(ref));
    {
        NbdExportOptions options;
        options.image = img;
        options.format = "qcow2";
        options.port = 10812;
        QemuNbdExport server(options);
        ASSERT_TRUE(server.running()) << server.error();
        NbdVolume v(server.port_text(), ORU_RW | ORU_WRITEBACK);
        ASSERT_TRUE(v.ok);
        ASSERT_EQ(oruDiskLib_WriteZeroes(v.handle(), &v.volume, first, count), ORU_OK) << nbderror;
        ASSERT_EQ(oruDiskLib_Close(v.handle(), &v.volume), ORU_OK);
    }
    run_ok("qemu-img compare -q -f qcow2 -F raw " + quote(img) + " " + quote(ref));
    run_ok("qemu-img check -q " + quote(img));
    // The whole clusters inside the range hold no data.
    bool zeroed = false;
    for (const ByteRun &r : qemu_map(img, "qcow2"))
        zeroed |= r.zero && r.start <= 64 * 1024 && r.start + r.length >= 40 * kMiB - 64 * 1024;
    EXPECT_TRUE(zeroed) << run("qemu-img map -f qcow2 " + quote(img)).out;
}

} // namespace
