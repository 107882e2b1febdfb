// The NBD volume branch at the end of an export whose size is not a multiple
// of 512 (qemu-nbd rounds sizes up, nbdkit serves them as they are).
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "core/handle.h"
#include "remote/transport.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

constexpr uint64_t kExportSize = (4 << 20) + 300;

// Stops the nbdkit server whatever way the test ends.
struct StopByPid {
    int pid = 0;
    ~StopByPid() {
        if (pid > 0) kill(pid, SIGTERM);
    }
};

TEST(NbdExportEnd, UnalignedTailIsCutToALengthTheAdapterRefuses) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("nbdkit");
    TempDir dir;
    std::string pid_file = dir.file("nbdkit.pid");
    ASSERT_EQ(run("nbdkit -P " + quote(pid_file) + " -i 127.0.0.2 -p 10809 memory " +
                  std::to_string(kExportSize))
                  .status,
              0);
    // The daemon writes its pid once it accepts connections, which may be
    // after the command has returned.
    StopByPid server;
    for (int i = 0; i < 500 && server.pid <= 0; ++i) {
        std::ifstream(pid_file) >> server.pid;
        if (server.pid <= 0) usleep(10000);
    }
    ASSERT_GT(server.pid, 0);

    oruDiskLibInHandle h{};
    h.log = tmpfile();
    h.flag = ORU_TRANSPORT_NBD;
    ASSERT_EQ(sdk_img_conn(&h.rblk, (char *)"127.0.0.2", (char *)"10809", (char *)"", nbderror), 0);
    ASSERT_EQ(sdk_img_size(h.rblk, &h.size, nbderror), 0);
    EXPECT_EQ(h.size, kExportSize);

    const uint64_t last_full = kExportSize / 512 * 512;
    auto data = pattern(1024, 9);
    // A write crossing the end is cut to the 300 bytes that exist and sent.
    EXPECT_EQ(remote_nbd_write(&h, last_full, 1024, data.data()), ORU_OK);
    std::vector<uint8_t> buf(1024, 0xAA);
    ASSERT_EQ(remote_nbd_read(&h, last_full - 512, 512, buf.data()), ORU_OK);
    // A read crossing it is cut to 812 bytes, which the adapter refuses.
    EXPECT_EQ(remote_nbd_read(&h, last_full - 512, 1024, buf.data()), ORU_E_REMOTE_READ);
    EXPECT_EQ(h.statu, ORU_E_REMOTE_READ);
    EXPECT_STREQ(oruDiskLib_GetErrorText(ORU_E_REMOTE_READ), "buffer need to be aligned with 512");

    EXPECT_EQ(remote_nbd_close(&h), ORU_OK);
    EXPECT_EQ(h.rblk, nullptr);
    EXPECT_EQ(h.log, nullptr);
}

} // namespace
