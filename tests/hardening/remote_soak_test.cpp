// Remote transports opened and closed again and again leave nothing behind:
// NBD connect/size/read/write/disconnect cycles through the adapter against
// a real qemu-nbd, a handful of whole NBD opens through the platform
// simulator (each costs the fixed 3-second wait), and iSCSI
// open/read/write/close cycles against a real tgtd. Descriptors and mappings
// must not grow, and the leak checker must find nothing.
// ORU_SOAK_NBD_CYCLES, ORU_SOAK_ISCSI_CYCLES and ORU_SOAK_NBD_OPENS change
// the counts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

#include "core/handle.h"
#include "hardening/nbd_server_child.h"
#include "hardening/resource_probe.h"
#include "iscsi_file_bytes.h"
#include "oruDiskLib.h"
#include "rwimage1.h"
#include "support/platform_sim.h"
#include "support/test_support.h"
#include "tgt_target.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;

TEST(RemoteSoak, NbdAdapterCycles) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    TempDir dir;
    const std::string image = dir.file("export.raw");
    std::vector<uint8_t> shadow = pattern(16 * MiB, 5);
    write_file(image, shadow);
    NbdServerChild server("127.0.0.2", 10809, image, "raw", "soak");
    ASSERT_TRUE(server.up());
    std::string port = server.port_text();
    std::mt19937_64 rng(7);

    auto cycle = [&] {
        struct nbd_handle *nbd = nullptr;
        char error[100] = "";
        ASSERT_EQ(sdk_img_conn(&nbd, const_cast<char *>("127.0.0.2"), port.data(),
                               const_cast<char *>("soak"), error),
                  0)
            << error;
        uint64_t size = 0;
        ASSERT_EQ(sdk_img_size(nbd, &size, error), 0) << error;
        ASSERT_EQ(size, shadow.size());
        uint64_t offset = rng() % (size / 512 - 64) * 512;
        std::vector<uint8_t> got(32 * 1024);
        ASSERT_EQ(sdk_img_read(nbd, got.data(), got.size(), offset, error), 0) << error;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), shadow.begin() + static_cast<long>(offset)));
        offset = rng() % (size / 512 - 8) * 512;
        std::vector<uint8_t> data = pattern(4096, rng(), offset);
        ASSERT_EQ(sdk_img_write(nbd, data.data(), data.size(), offset, error), 0) << error;
        std::copy(data.begin(), data.end(), shadow.begin() + static_cast<long>(offset));
        ASSERT_EQ(sdk_disconn(&nbd, error), 0) << error;
        ASSERT_EQ(nbd, nullptr);
    };

    // Each cycle costs some 50 ms in the NBD handshake and shutdown against
    // qemu-nbd: 300 by default keeps CI short; the report runs 1000.
    const int cycles = cycles_from_env("ORU_SOAK_NBD_CYCLES", 300);
    for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    Resources before = probe();
    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(cycle());
    }
    expect_no_growth("nbd adapter", cycles, before, probe());
}

TEST(RemoteSoak, IscsiOpenCloseCycles) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("tgtd");
    ORU_REQUIRE_PROGRAM("tgtadm");
    TempDir dir;
    const std::string lun = dir.file("lun.img");
    ASSERT_TRUE(make_sparse_file(lun, 16 * MiB));
    TgtTarget target("127.0.0.3");
    ASSERT_TRUE(target.ok()) << target.error();
    const char iqn[] = "iqn.2024-01.test.oru:soak";
    ASSERT_TRUE(target.add_lun(1, iqn, 1, lun, 512)) << target.error();
    std::string url = target.url(iqn, 1);
    std::string uuid = "hardening-soak-" + std::to_string(getpid());
    oruDiskLibVolume volume{};
    volume.volumeUuid = uuid.data();
    volume.dataStoreid = const_cast<char *>("ds-1");
    volume.diskFormat = ORU_RAW;
    volume.targeturl = url.data();
    volume.initiator = const_cast<char *>("iqn.2024-01.test.oru:soak-client");
    // The lanfree open never talks to the management server.
    oruDiskLibInConnection connection{const_cast<char *>("127.0.0.98"), const_cast<char *>("u"),
                                      const_cast<char *>("p"), const_cast<char *>("s")};
    std::mt19937_64 rng(11);
    std::vector<uint8_t> shadow(16 * MiB, 0);

    auto cycle = [&] {
        oruDiskLibHandle handle = nullptr;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, "lanfree", true, handle,
                                  reinterpret_cast<oruDiskLibConnection>(&connection)),
                  ORU_OK);
        uint64_t start = rng() % (shadow.size() / 512 - 64);
        std::vector<uint8_t> got(64 * 512);
        ASSERT_EQ(oruDiskLib_Read(handle, &volume, start, 64, got.data()), ORU_OK);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), shadow.begin() + static_cast<long>(start * 512)));
        start = rng() % (shadow.size() / 512 - 8);
        std::vector<uint8_t> data = pattern(8 * 512, rng(), start * 512);
        ASSERT_EQ(oruDiskLib_Write(handle, &volume, start, 8, data.data()), ORU_OK);
        std::copy(data.begin(), data.end(), shadow.begin() + static_cast<long>(start * 512));
        ASSERT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
        ASSERT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
    };

    const int cycles = cycles_from_env("ORU_SOAK_ISCSI_CYCLES", 200);
    for (int i = 0; i < 5; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    Resources before = probe();
    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(cycle());
    }
    expect_no_growth("iscsi volume", cycles, before, probe());
    EXPECT_EQ(target.session_count(1), 0);
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
}

TEST(RemoteSoak, WholeNbdOpens) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string image = dir.file("vol.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(image) + " 16M").status, 0);
    const std::string uuid = "hardening-soak-nbd";
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users", {{{"name", "backup"}, {"password", "pw"}, {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts", {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}}}},
        {"volumes", {{{"uuid", uuid}, {"dataStore", "ds-1"}, {"image", image}}}},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnectParams params{const_cast<char *>("127.0.0.10"), const_cast<char *>("backup"),
                                   const_cast<char *>("pw"), nullptr};
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(params, &conn), ORU_OK);
    oruDiskLibVolume volume{};
    volume.diskPath = const_cast<char *>("/datastore/vol");
    volume.diskFormat = ORU_QCOW;
    volume.volumeUuid = const_cast<char *>(uuid.c_str());
    volume.dataStoreid = const_cast<char *>("ds-1");

    auto cycle = [&](int i) {
        oruDiskLibHandle handle = nullptr;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, conn), ORU_OK);
        std::vector<uint8_t> data = pattern(64 * 512, static_cast<uint64_t>(i));
        ASSERT_EQ(oruDiskLib_Write(handle, &volume, 128 * static_cast<uint64_t>(i), 64, data.data()), ORU_OK);
        std::vector<uint8_t> got(data.size());
        ASSERT_EQ(oruDiskLib_Read(handle, &volume, 128 * static_cast<uint64_t>(i), 64, got.data()), ORU_OK);
        ASSERT_EQ(got, data);
        ASSERT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
        ASSERT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
    };

    const int opens = cycles_from_env("ORU_SOAK_NBD_OPENS", 3);
    ASSERT_NO_FATAL_FAILURE(cycle(0));
    Resources before = probe();
    for (int i = 1; i <= opens; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    expect_no_growth("whole nbd opens", opens, before, probe());
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
    unlink(("/var/log/tamb/" + uuid + ".log").c_str());
}

} // namespace
