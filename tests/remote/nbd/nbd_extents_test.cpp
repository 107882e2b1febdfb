// oruDiskLib_QueryExtents on NBD volumes: a qemu-nbd export of a thin qcow2
// image compared with nbdinfo --map (past the 2 GiB that one block status
// request covers), with and without the LUKS shift, and an export that
// offers no block status.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "core/handle.h"
#include "image/extents/extents_oracle.h"
#include "nbd_test_volume.h"
#include "qemu_nbd_export.h"
#include "remote/transport.h"
#include "support/nbdkit_server.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kLuksHeader = 1052672;

using NbdVolume = NbdTestVolume;

TEST(NbdExtents, BlockStatusAgreesWithNbdinfo) {
    ORU_REQUIRE_ROOT();
    for (const char *tool : {"qemu-img", "qemu-io", "qemu-nbd", "nbdinfo"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string img = dir.file("thin.qcow2");
    run_ok("qemu-img create -q -f qcow2 " + quote(img) + " 5G");
    run_ok("qemu-io -f qcow2 -c 'write -P 1 0 1M' -c 'write -P 2 3M 64k' -c 'write -z 2G 1M' "
       "-c 'write -P 3 2049M 64k' -c 'write -P 4 4600M 4M' -c 'write -z 4601M 64k' " +
       quote(img));
    NbdExportOptions options;
    options.image = img;
    options.format = "qcow2";
    options.name = "thin";
    options.read_only = true;
    QemuNbdExport server(options);
    ASSERT_TRUE(server.running()) << server.error();

    const std::vector<ByteRun> runs =
        nbdinfo_map("nbd://127.0.0.2:" + server.port_text() + "/thin");
    for (int format : {ORU_QCOW, ORU_LUKS}) {
        NbdVolume v(server.port_text(), "thin", format);
        ASSERT_TRUE(v.ok);
        const uint64_t shift = format == ORU_LUKS ? kLuksHeader : 0;
        const std::vector<Extent> want = expected_extents(runs, v.h.size - shift, shift);
        ASSERT_GE(want.size(), 7u);
        EXPECT_EQ(query_extents(v.handle(), &v.volume, 100000), want);
        EXPECT_EQ(query_extents(v.handle(), &v.volume, 1), want) << "one extent per call";
        expect_zero_extents_read_zero(v.handle(), &v.volume, want);
    }
}

TEST(NbdExtents, ExportsWithoutStatusOrWithLargeBlocks) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("nbdkit");
    {
        // No structured replies, so no block status: one data extent.
        NbdkitServer server("10810", "--no-sr memory 3M");
        ASSERT_GT(server.pid, 0);
        NbdVolume v("10810", "", ORU_RAW);
        ASSERT_TRUE(v.ok);
        EXPECT_EQ(query_extents(v.handle(), &v.volume, 4), (std::vector<Extent>{{0, 6144, false}}));
    }
    // 4 KiB minimum blocks: a query from an odd sector still gets its answer.
    NbdkitServer server("10810", "--filter=blocksize-policy memory 3M blocksize-minimum=4096");
    ASSERT_GT(server.pid, 0);
    NbdVolume v("10810", "", ORU_RAW);
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(query_extents(v.handle(), &v.volume, 4, 3, 100),
              (std::vector<Extent>{{3, 100, true}}));
}

} // namespace
