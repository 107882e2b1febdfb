// A seeded random qcow2 write workload runs until its small file system is
// full and goes on writing: every refused write carries a no-space text,
// writes into clusters it already has keep landing, everything written before
// stays intact, and qemu-img check finds nothing worse than leaked clusters.
// The file system is a tmpfs mounted in a private mount namespace.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "image/qcow2_write/image_oracle.h"
#include "qcow2.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
constexpr uint64_t kGuest = 64 * MiB;

struct Write {
    uint64_t offset;
    std::vector<uint8_t> data;
};

TEST(Qcow2FullFileSystem, WorkloadRunsIntoAFullFileSystem) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir outer;
    const std::string fs = outer.file("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
    if (!mount_private_tmpfs(fs, "3m")) GTEST_SKIP() << "no private mount namespace";
    const std::string image = fs + "/full.qcow2";
    ASSERT_EQ(qcow2_create(const_cast<char *>(image.c_str()), nullptr, 64 * KiB, kGuest), 0);

    qcow2 *q = nullptr;
    char *text = nullptr;
    ASSERT_EQ(qcow2_open(const_cast<char *>(image.c_str()), &q, ORU_RW, &text), 0);
    std::vector<uint8_t> shadow(kGuest, 0);
    std::vector<Write> refused;
    std::mt19937_64 rng(42);
    std::vector<uint64_t> written_at; // offsets that succeeded, for rewrites
    int landed = 0, landed_after_full = 0;
    for (int i = 0; i < 3000 && refused.size() < 300; ++i) {
        uint64_t sectors = 1 + rng() % 64;
        uint64_t offset;
        // Once full, one write in three goes back where data already is.
        if (!refused.empty() && !written_at.empty() && rng() % 3 == 0)
            offset = written_at[rng() % written_at.size()];
        else
            offset = rng() % (kGuest / 512 - sectors) * 512;
        std::vector<uint8_t> data = pattern(sectors * 512, rng(), offset);
        int n = qcow2_write(q, data.data(), data.size(), offset, &text);
        if (n == static_cast<int>(data.size())) {
            std::copy(data.begin(), data.end(), shadow.begin() + static_cast<long>(offset));
            written_at.push_back(offset);
            ++landed;
            landed_after_full += !refused.empty();
            continue;
        }
        // The free-room check refuses before allocating; when the room is
        // there by statfs but a block is not, the data write itself fails
        // with the system's text.
        std::string why = n == -1 && text ? text : "";
        if (n != -1 || (why != "dest storage pool doesn't have enough space" &&
                        why != "No space left on device")) {
            qcow2_close(&q);
            FAIL() << "write " << i << " returned " << n << " with \"" << why << "\"";
        }
        refused.push_back({offset, std::move(data)});
    }
    qcow2_close(&q);
    ASSERT_FALSE(refused.empty()) << "the file system never filled";
    EXPECT_GT(landed_after_full, 0) << "writes into allocated clusters must still land";
    std::printf("%d writes landed (%d after the first refusal), %zu refused\n", landed,
                landed_after_full, refused.size());

    CommandResult check = run("qemu-img check -f qcow2 " + quote(image), true);
    EXPECT_TRUE(check.status == 0 || check.status == 3) << check.out;
    EXPECT_EQ(check.out.find("ERROR"), std::string::npos) << check.out;
    const std::string raw = outer.file("guest.raw");
    ASSERT_EQ(run("qemu-img convert -O raw " + quote(image) + " " + quote(raw)).status, 0);
    std::vector<uint8_t> guest = file_bytes(raw);
    ASSERT_EQ(guest.size(), kGuest);
    // Bytes that differ from the successful writes must belong to a refused
    // write whose data write got partly through before the space ran out.
    std::vector<bool> explained(kGuest, false);
    for (auto &w : refused)
        for (size_t i = 0; i < w.data.size(); ++i)
            if (guest[w.offset + i] == w.data[i]) explained[w.offset + i] = true;
    size_t differing = 0;
    for (uint64_t at = 0; at < kGuest; ++at) {
        if (guest[at] == shadow[at]) continue;
        ++differing;
        ASSERT_TRUE(explained[at]) << "guest byte " << at << " holds neither written nor refused data";
    }
    std::printf("%zu guest bytes hold parts of refused writes\n", differing);
    umount2(fs.c_str(), MNT_DETACH);
}

} // namespace
