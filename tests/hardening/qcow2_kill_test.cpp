// A qcow2 writer killed with SIGKILL at random instants, many times over on
// the same image: after each kill qemu-img check may find leaked clusters but
// never a corruption, and every guest byte holds either what it held before
// the round or what the round wrote there. Writes the child finished before
// it died must all be visible (they sit in the page cache, which the kill
// does not lose); only the one write in flight may be partly there.
//
// ORU_KILL_ROUNDS sets the number of kills (default 36, split over the
// workloads); scripts run a few hundred for a longer look.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/qcow2_write/image_oracle.h"
#include "qcow2.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
constexpr uint64_t kGuest = 8 * MiB;

int kill_rounds() {
    const char *text = getenv("ORU_KILL_ROUNDS");
    int n = text ? atoi(text) : 0;
    return n > 0 ? n : 36;
}

// One write of the seeded workload: where, how long, and its bytes.
struct Op {
    uint64_t offset;
    size_t length;
};

Op op_of(uint64_t seed, uint64_t index) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + index);
    // Mostly small writes; one in eight spans several 4 KiB clusters.
    uint64_t sectors = rng() % 8 == 0 ? 1 + rng() % 160 : 1 + rng() % 16;
    // Half the writes fall in a hot first quarter, so later rounds rewrite
    // allocated clusters as well as allocating new ones.
    uint64_t span = rng() % 2 ? kGuest / 4 : kGuest;
    uint64_t offset = rng() % (span / 512) * 512;
    if (offset + sectors * 512 > kGuest) sectors = (kGuest - offset) / 512;
    return {offset, static_cast<size_t>(sectors * 512)};
}

// The bytes of write `index`: each 8-byte word depends on the round, the
// write and the guest address, so a word out of place is always noticed.
void op_bytes(uint64_t seed, uint64_t index, const Op &op, uint8_t *out) {
    for (size_t at = 0; at < op.length; at += 8) {
        uint64_t x = (seed << 40) ^ (index << 20) ^ ((op.offset + at) / 8) * 0xD6E8FEB86659FD93ULL;
        x ^= x >> 31;
        x *= 0x94D049BB133111EBULL;
        std::memcpy(out + at, &x, 8);
    }
}

// Written by the child after each finished write: how many are done.
struct Progress {
    std::atomic<uint64_t> done;
};

[[noreturn]] void write_until_killed(const std::string &path, uint64_t seed, Progress *progress) {
    qcow2 *q = nullptr;
    char *text = nullptr;
    std::string name = path;
    if (qcow2_open(name.data(), &q, ORU_RW, &text) != 0) _exit(2);
    std::vector<uint8_t> data(160 * 512);
    for (uint64_t i = 0;; ++i) {
        Op op = op_of(seed, i);
        op_bytes(seed, i, op, data.data());
        if (qcow2_write(q, data.data(), op.length, op.offset, &text) != static_cast<int>(op.length))
            _exit(3);
        progress->done.store(i + 1, std::memory_order_release);
    }
}

// The guest contents through qemu-img (the judge, not the engine), by way of
// memory when /dev/shm is there: the copy is made after every kill.
std::vector<uint8_t> guest_bytes(const TempDir &dir, const std::string &image) {
    std::string raw = dir.file("guest.raw");
    if (access("/dev/shm", W_OK) == 0) raw = "/dev/shm/oru-kill-guest-" + std::to_string(getpid());
    CommandResult r = run("qemu-img convert -O raw " + quote(image) + " " + quote(raw), true);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<uint8_t> bytes = file_bytes(raw);
    unlink(raw.c_str());
    return bytes;
}

struct Workload {
    std::string name;
    bool backing;
    uint32_t cluster_size;
    bool made_by_qemu; // else by the engine's own qcow2_create
};

class Qcow2Kill : public ::testing::TestWithParam<Workload> {};

TEST_P(Qcow2Kill, EveryKillLeavesAtWorstLeaksAndOldOrNewBytes) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    const Workload &w = GetParam();
    TempDir dir;
    const std::string image = dir.file("top.qcow2");
    std::vector<uint8_t> expected(kGuest, 0);
    std::string backing;
    if (w.backing) {
        // The backing image is a qcow2 image of its own (the engine follows
        // qcow2 chains), filled everywhere so that old bytes are never zeros.
        backing = dir.file("base.qcow2");
        expected = pattern(kGuest, 0xba5e);
        write_file(dir.file("base.raw"), expected);
        ASSERT_EQ(run("qemu-img convert -q -f raw -O qcow2 " + quote(dir.file("base.raw")) + " " +
                      quote(backing))
                      .status,
                  0);
    }
    if (w.made_by_qemu) {
        std::string options = "cluster_size=" + std::to_string(w.cluster_size);
        if (w.backing) options += ",backing_file=" + backing + ",backing_fmt=qcow2";
        ASSERT_EQ(run("qemu-img create -q -f qcow2 -o " + quote(options) + " " + quote(image) + " " +
                      std::to_string(kGuest))
                      .status,
                  0);
    } else {
        ASSERT_EQ(qcow2_create(const_cast<char *>(image.c_str()),
                               w.backing ? const_cast<char *>(backing.c_str()) : nullptr,
                               w.cluster_size, kGuest),
                  0);
    }

    void *shared = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    Progress *progress = new (shared) Progress{};

    const int rounds = std::max(1, kill_rounds() / 3);
    std::mt19937 timing(static_cast<unsigned>(w.cluster_size + w.backing));
    uint64_t writes_seen = 0, rounds_with_leaks = 0;
    std::vector<uint8_t> data(160 * 512);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint64_t seed = static_cast<uint64_t>(round) + 1;
        progress->done.store(0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) write_until_killed(image, seed, progress);
        usleep(1000 + timing() % 120000);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself with " << WEXITSTATUS(status);
        const uint64_t done = progress->done.load(std::memory_order_acquire);
        writes_seen += done;

        CommandResult check = run("qemu-img check -f qcow2 " + quote(image), true);
        ASSERT_TRUE(check.status == 0 || check.status == 3) << check.out;
        ASSERT_EQ(check.out.find("ERROR"), std::string::npos) << check.out;
        rounds_with_leaks += check.status == 3;

        // What the disk must hold: every finished write over the old
        // contents; the write in flight may be there in any part.
        for (uint64_t i = 0; i < done; ++i) {
            Op op = op_of(seed, i);
            op_bytes(seed, i, op, expected.data() + op.offset);
        }
        Op flight = op_of(seed, done);
        op_bytes(seed, done, flight, data.data());
        std::vector<uint8_t> actual = guest_bytes(dir, image);
        ASSERT_EQ(actual.size(), kGuest);
        for (uint64_t at = 0; at < kGuest; ++at) {
            if (at % 4096 == 0 && std::memcmp(&actual[at], &expected[at], 4096) == 0) {
                at += 4095;
                continue;
            }
            if (actual[at] == expected[at]) continue;
            bool in_flight = at >= flight.offset && at < flight.offset + flight.length;
            ASSERT_TRUE(in_flight && actual[at] == data[at - flight.offset])
                << "guest byte " << at << " is neither old nor new after " << done << " writes";
        }
        expected = std::move(actual);
    }
    munmap(shared, sizeof(Progress));
    EXPECT_GT(writes_seen, 0u);
    RecordProperty("kills", rounds);
    RecordProperty("writes", std::to_string(writes_seen));
    std::printf("%s: %d kills, %llu finished writes, %llu rounds left leaks\n", w.name.c_str(),
                rounds, static_cast<unsigned long long>(writes_seen),
                static_cast<unsigned long long>(rounds_with_leaks));
}

INSTANTIATE_TEST_SUITE_P(Workloads, Qcow2Kill,
                         ::testing::Values(Workload{"Standalone4K", false, 4096, true},
                                           Workload{"Backed4K", true, 4096, true},
                                           Workload{"BackedEngineMade64K", true, 65536, false}),
                         [](const auto &info) { return info.param.name; });

} // namespace
