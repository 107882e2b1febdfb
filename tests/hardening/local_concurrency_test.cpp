// Several threads, each with its own handle and its own local volume, read
// and write at the same time through the public interface: qcow2 images
// (two of them over one shared backing image), a raw image and a LUKS image.
// Every thread's volume must end holding exactly what that thread wrote, and
// qemu-img must find the qcow2 images clean. Built with ThreadSanitizer
// (scripts/tsan) the same program shows whether the library's own state is
// shared without synchronisation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "oruDiskLib.h"
#include "support/test_support.h"

using namespace oru::test;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kSize = 16 * MiB;
constexpr uint64_t kLuksHeader = 1052672;

struct Worker {
    std::string path;
    int format;
    std::vector<uint8_t> shadow; // the guest as this thread wrote it
    std::string failure;         // empty when every step went right
};

// One thread's life: opens its volume, runs seeded reads and writes checked
// against its shadow, refuses an oversized transfer and fails one open of a
// missing image (so the shared last-error slots see traffic), then closes.
void work(Worker &w, unsigned seed, int rounds) {
    auto fail = [&](const std::string &what, int rc) { w.failure = what + " -> " + std::to_string(rc); };
    oruDiskLibHandle handle = nullptr;
    if (int rc = oruDiskLib_Init(&handle); rc != ORU_OK) return fail("init", rc);
    oruDiskLibVolume volume{};
    volume.diskPath = w.path.data();
    volume.diskFormat = w.format;
    volume.volumeUuid = const_cast<char *>("concurrent-local");
    if (int rc = oruDiskLib_Open(&volume, ORU_RW, nullptr, false, handle, nullptr); rc != ORU_OK)
        return fail("open " + w.path, rc);
    std::mt19937_64 rng(seed);
    const uint64_t sectors_total = w.shadow.size() / 512;
    for (int i = 0; i < rounds && w.failure.empty(); ++i) {
        uint64_t n = 1 + rng() % 256;
        uint64_t start = rng() % (sectors_total - n);
        std::vector<uint8_t> data = pattern(n * 512, rng(), start * 512);
        if (int rc = oruDiskLib_Write(handle, &volume, start, n, data.data()); rc != ORU_OK)
            return fail("write", rc);
        std::copy(data.begin(), data.end(), w.shadow.begin() + static_cast<long>(start * 512));
        n = 1 + rng() % 256;
        start = rng() % (sectors_total - n);
        std::vector<uint8_t> got(n * 512);
        if (int rc = oruDiskLib_Read(handle, &volume, start, n, got.data()); rc != ORU_OK)
            return fail("read", rc);
        if (!std::equal(got.begin(), got.end(), w.shadow.begin() + static_cast<long>(start * 512)))
            return fail("read back differs at sector " + std::to_string(start), 0);
        if (i % 16 == 0) {
            if (oruDiskLib_Read(handle, &volume, 0, 65537, got.data()) != ORU_E_MAX_BUFFER)
                return fail("oversized read accepted", 0);
            oruDiskLibHandle other = nullptr;
            oruDiskLib_Init(&other);
            oruDiskLibVolume missing = volume;
            std::string gone = w.path + ".missing";
            missing.diskPath = gone.data();
            if (oruDiskLib_Open(&missing, ORU_RO, nullptr, false, other, nullptr) == ORU_OK)
                return fail("open of a missing image succeeded", 0);
            // Whatever the latest failure was, its text is one of ours.
            const char *text = oruDiskLib_GetErrorText(w.format == ORU_QCOW ? ORU_E_QCOW_OPEN : ORU_E_RAW_OPEN);
            if (!text || !*text) return fail("empty error text", 0);
            oruDiskLib_Finalize(&other);
        }
    }
    // The whole guest once more, in the largest transfers allowed.
    std::vector<uint8_t> whole(w.shadow.size());
    const uint64_t step = 65536;
    for (uint64_t s = 0; s < sectors_total && w.failure.empty(); s += step) {
        uint64_t n = std::min(step, sectors_total - s);
        if (int rc = oruDiskLib_Read(handle, &volume, s, n, whole.data() + s * 512); rc != ORU_OK)
            return fail("final read", rc);
    }
    if (w.failure.empty() && whole != w.shadow) fail("final contents differ", 0);
    if (int rc = oruDiskLib_Close(handle, &volume); rc != ORU_OK && w.failure.empty()) fail("close", rc);
    oruDiskLib_Finalize(&handle);
}

TEST(LocalConcurrency, ThreadsWithTheirOwnVolumes) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    std::vector<Worker> workers;
    const std::string base = dir.file("base.qcow2");
    std::vector<uint8_t> base_bytes = pattern(kSize, 99);
    write_file(dir.file("base.raw"), base_bytes);
    ASSERT_EQ(run("qemu-img convert -q -f raw -O qcow2 " + quote(dir.file("base.raw")) + " " + quote(base)).status, 0);
    for (int i = 0; i < 2; ++i) {
        Worker w{dir.file("plain" + std::to_string(i) + ".qcow2"), ORU_QCOW, std::vector<uint8_t>(kSize, 0), {}};
        ASSERT_EQ(oruDiskLib_Create(w.path.data(), nullptr, 65536, kSize, ORU_QCOW), ORU_OK);
        workers.push_back(std::move(w));
    }
    for (int i = 0; i < 2; ++i) {
        Worker w{dir.file("over" + std::to_string(i) + ".qcow2"), ORU_QCOW, base_bytes, {}};
        ASSERT_EQ(oruDiskLib_Create(w.path.data(), const_cast<char *>(base.c_str()), 65536, kSize, ORU_QCOW), ORU_OK);
        workers.push_back(std::move(w));
    }
    {
        Worker w{dir.file("disk.raw"), ORU_RAW, std::vector<uint8_t>(kSize, 0), {}};
        ASSERT_EQ(oruDiskLib_Create(w.path.data(), nullptr, 0, kSize, ORU_RAW), ORU_OK);
        workers.push_back(std::move(w));
    }
    {
        // A LUKS volume: the guest starts after the header region.
        Worker w{dir.file("disk.luks"), ORU_LUKS, std::vector<uint8_t>(kSize - kLuksHeader, 0), {}};
        ASSERT_EQ(oruDiskLib_Create(w.path.data(), nullptr, 0, kSize, ORU_RAW), ORU_OK);
        w.shadow.resize(w.shadow.size() / 512 * 512);
        workers.push_back(std::move(w));
    }

    const int rounds = 200;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers.size(); ++i)
        threads.emplace_back(work, std::ref(workers[i]), static_cast<unsigned>(i + 1), rounds);
    for (auto &t : threads) t.join();
    for (auto &w : workers) {
        EXPECT_EQ(w.failure, "") << w.path;
        if (w.format == ORU_QCOW) {
            CommandResult check = run("qemu-img check -q " + quote(w.path), true);
            EXPECT_EQ(check.status, 0) << w.path << ": " << check.out;
        }
    }
    // The shared backing image is still what it was.
    ASSERT_EQ(run("qemu-img convert -O raw " + quote(base) + " " + quote(dir.file("base.check"))).status, 0);
    EXPECT_TRUE(read_file(dir.file("base.check")) == base_bytes);
}

} // namespace
