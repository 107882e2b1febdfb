// A thousand init/open/read/write/close/finalize cycles of each local volume
// kind through the public interface leave the process holding what it held
// before: descriptors, mappings, heap bytes, and nothing for the leak checker.
// ORU_SOAK_CYCLES changes the count.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hardening/resource_probe.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kSize = 64 * MiB;
constexpr uint64_t kSectors = kSize / 512;

struct LocalVolume {
    std::string path;
    int format;
    oruDiskLibVolume volume{};
    std::vector<uint8_t> shadow; // what the guest must hold

    LocalVolume(std::string p, int f) : path(std::move(p)), format(f), shadow(kSize, 0) {
        volume.diskPath = path.data();
        volume.diskFormat = format;
        volume.volumeUuid = const_cast<char *>("soak-local");
    }
};

// One cycle: a fresh handle, open read-write, read a run and check it, write
// another, close and free. Any failure stops the soak.
void cycle(LocalVolume &v, std::mt19937_64 &rng) {
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    ASSERT_EQ(oruDiskLib_Open(&v.volume, ORU_RW, nullptr, false, handle, nullptr), ORU_OK);
    uint64_t sectors = 1 + rng() % 64;
    uint64_t start = rng() % (kSectors - sectors);
    std::vector<uint8_t> got(sectors * 512);
    ASSERT_EQ(oruDiskLib_Read(handle, &v.volume, start, sectors, got.data()), ORU_OK);
    ASSERT_TRUE(std::equal(got.begin(), got.end(), v.shadow.begin() + start * 512))
        << "sectors from " << start;
    sectors = 1 + rng() % 32;
    start = rng() % (kSectors - sectors);
    std::vector<uint8_t> data = pattern(sectors * 512, rng(), start * 512);
    ASSERT_EQ(oruDiskLib_Write(handle, &v.volume, start, sectors, data.data()), ORU_OK);
    std::copy(data.begin(), data.end(), v.shadow.begin() + start * 512);
    ASSERT_EQ(oruDiskLib_Close(handle, &v.volume), ORU_OK);
    ASSERT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
}

void soak(const char *what, LocalVolume &v) {
    const int cycles = cycles_from_env("ORU_SOAK_CYCLES", 1000);
    std::mt19937_64 rng(cycles);
    for (int i = 0; i < 100; ++i) ASSERT_NO_FATAL_FAILURE(cycle(v, rng)); // warm-up
    Resources before = probe();
    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(cycle(v, rng));
    }
    expect_no_growth(what, cycles, before, probe());
}

TEST(LocalSoak, Qcow2) {
    TempDir dir;
    LocalVolume v(dir.file("soak.qcow2"), ORU_QCOW);
    ASSERT_EQ(oruDiskLib_Create(v.path.data(), nullptr, 64 * 1024, kSize, ORU_QCOW), ORU_OK);
    soak("local qcow2", v);
    if (have_program("qemu-img")) {
        CommandResult check = run("qemu-img check -q " + quote(v.path), true);
        EXPECT_EQ(check.status, 0) << check.out;
    }
}

TEST(LocalSoak, Qcow2OverABackingImage) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    LocalVolume v(dir.file("top.qcow2"), ORU_QCOW);
    std::string base = dir.file("base.qcow2");
    v.shadow = pattern(kSize, 77);
    write_file(dir.file("base.raw"), v.shadow);
    ASSERT_EQ(run("qemu-img convert -q -f raw -O qcow2 " + quote(dir.file("base.raw")) + " " +
                  quote(base))
                  .status,
              0);
    ASSERT_EQ(oruDiskLib_Create(v.path.data(), base.data(), 64 * 1024, kSize, ORU_QCOW), ORU_OK);
    soak("local qcow2 over a backing image", v);
}

TEST(LocalSoak, Raw) {
    TempDir dir;
    LocalVolume v(dir.file("soak.raw"), ORU_RAW);
    ASSERT_EQ(oruDiskLib_Create(v.path.data(), nullptr, 0, kSize, ORU_RAW), ORU_OK);
    soak("local raw", v);
}

} // namespace
