// A writer killed at an arbitrary instant leaves at worst leaked clusters:
// never an entry pointing at an uncounted cluster (qemu-img check finds no
// corruption) and never zeros where backing data belongs. The writer also
// zeroes ranges of the upper half, the only place where zeros may appear.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "write_fixture.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
constexpr uint64_t kSize = 64 * MiB;
constexpr uint64_t kZeroedFrom = kSize / 2;
constexpr uint8_t kBacking = 0x77, kWritten = 0xab;

// Tells the parent through `ready` once the first write is in.
[[noreturn]] void write_until_killed(const std::string &path, unsigned seed, int ready) {
    OpenImage image(path, ORU_RW);
    if (!image.ok()) _exit(2);
    bool told = false;
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> data(320 * KiB, kWritten);
    for (;;) {
        uint64_t sectors = rng() % 8 == 0 ? 1 + rng() % 640 : 1;
        uint64_t offset = rng() % (kSize / 512) * 512;
        if (rng() % 4 == 0) {
            char *error = nullptr;
            uint64_t at = kZeroedFrom + offset % (kSize - kZeroedFrom);
            if (qcow2_zero(image.get(), at, sectors * 512, &error) != 0) _exit(4);
            continue;
        }
        std::vector<uint8_t> piece(data.begin(), data.begin() + static_cast<long>(sectors * 512));
        if (image.write(piece, offset) < 0) _exit(3);
        if (!told && ::write(ready, "x", 1) == 1) told = true;
    }
}

} // namespace

TEST(Qcow2WriteKill, KilledWriterLeavesAtWorstLeaks) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    const std::string base = dir.file("base.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(base) + " 64M").status, 0);
    ASSERT_EQ(run("qemu-io -f qcow2 -c 'write -q -P 0x77 0 64M' " + quote(base)).status, 0);
    const std::string top = dir.file("top.qcow2");
    ASSERT_EQ(qcow2_create(const_cast<char *>(top.c_str()), const_cast<char *>(base.c_str()),
                           64 * KiB, kSize),
              0);
    const std::string raw = dir.file("top.raw");
    for (unsigned round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) write_until_killed(top, round, ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        usleep(5000 + 15000 * round);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself: " << status;

        CommandResult check = run("qemu-img check -f qcow2 " + quote(top), true);
        EXPECT_TRUE(check.status == 0 || check.status == 3) << check.out;
        EXPECT_EQ(check.out.find("ERROR"), std::string::npos) << check.out;
        ASSERT_EQ(run("qemu-img convert -O raw " + quote(top) + " " + quote(raw)).status, 0);
        std::vector<uint8_t> disk = file_bytes(raw);
        ASSERT_EQ(disk.size(), kSize);
        size_t written = 0;
        const std::vector<uint8_t> old_sector(512, kBacking), new_sector(512, kWritten),
            zero_sector(512, 0);
        for (size_t at = 0; at < disk.size(); at += 512) {
            bool is_new = std::memcmp(disk.data() + at, new_sector.data(), 512) == 0;
            bool is_old = !is_new && std::memcmp(disk.data() + at, old_sector.data(), 512) == 0;
            bool is_zero = at >= kZeroedFrom && !is_new && !is_old &&
                           std::memcmp(disk.data() + at, zero_sector.data(), 512) == 0;
            ASSERT_TRUE(is_new || is_old || is_zero)
                << "sector at " << at << " starts with " << int(disk[at]);
            written += is_new;
        }
        EXPECT_GT(written, 0u);
    }
}
