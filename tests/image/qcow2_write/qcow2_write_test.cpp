// qcow2_write against qemu-img: after every workload the image must check
// clean (no corruption, no leak) and hold exactly what a raw file written
// with the same requests holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>

#include "write_fixture.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
constexpr uint64_t kCluster = 64 * KiB;
constexpr uint64_t kCopied = 1ull << 63;

int create(const std::string &path, uint64_t size, const char *backing = nullptr,
           uint32_t cluster_size = kCluster) {
    return qcow2_create(const_cast<char *>(path.c_str()), const_cast<char *>(backing), cluster_size,
                        size);
}

std::string qemu_io(const std::string &image, const std::string &commands) {
    CommandResult r = run("qemu-io -f qcow2 " + commands + " " + quote(image), true);
    return r.status == 0 ? "" : r.out;
}

// Offset of the first hole at or after `from`, or the file length when the
// file system reports none.
uint64_t next_hole(const std::string &path, uint64_t from) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    off_t hole = lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
    ::close(fd);
    return static_cast<uint64_t>(hole);
}

} // namespace

TEST(Qcow2Write, FirstWritesAppendAfterTheL1Cluster) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string img = dir.file("a.qcow2");
    ASSERT_EQ(create(img, 10 * GiB), 0);
    RawReference ref(dir.file("a.raw"), 10 * GiB);
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok()) << image.open_text();
        auto data = pattern(4096, 1);
        ASSERT_EQ(image.write(data, 0), 4096);
        ref.write(data, 0);
        EXPECT_EQ(file_length(img), 6 * kCluster);
        EXPECT_EQ(be_at(img, 3 * kCluster, 8), (4 * kCluster) | kCopied);
        EXPECT_EQ(be_at(img, 4 * kCluster, 8), (5 * kCluster) | kCopied);
        EXPECT_EQ(refcount16(img, kCluster, 4), 1u);
        EXPECT_EQ(refcount16(img, kCluster, 5), 1u);

        // Into the same cluster again: nothing new.
        auto more = pattern(8192, 2);
        ASSERT_EQ(image.write(more, 40960), 8192);
        ref.write(more, 40960);
        EXPECT_EQ(file_length(img), 6 * kCluster);
        EXPECT_EQ(refcount16(img, kCluster, 6), 0u);

        // Across the end of the first L2 table's range: a second table.
        auto across = pattern(128 * KiB, 3);
        ASSERT_EQ(image.write(across, 512 * MiB - 64 * KiB), static_cast<int>(128 * KiB));
        ref.write(across, 512 * MiB - 64 * KiB);
        EXPECT_EQ(be_at(img, 3 * kCluster + 8, 8), (7 * kCluster) | kCopied);
        EXPECT_EQ(be_at(img, 4 * kCluster + 8191 * 8, 8), (6 * kCluster) | kCopied);
        EXPECT_EQ(be_at(img, 7 * kCluster, 8), (8 * kCluster) | kCopied);
        EXPECT_EQ(file_length(img), 9 * kCluster);

        // At and across the virtual end.
        EXPECT_EQ(image.write(pattern(512, 4), 10 * GiB), 0);
        auto tail = pattern(4096, 5);
        ASSERT_EQ(image.write(tail, 10 * GiB - 1024), 1024);
        ref.write(tail, 10 * GiB - 1024);
    }
    EXPECT_EQ(qemu_check(img), "");
    EXPECT_EQ(qemu_compare(img, ref.path()), "");
}

TEST(Qcow2Write, LongL1TableIsNotOverwritten) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string img = dir.file("big.qcow2");
    const uint64_t size = 8 * 1024 * GiB; // two clusters of L1 entries
    ASSERT_EQ(create(img, size), 0);
    RawReference ref(dir.file("big.raw"), size);
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok());
        for (uint64_t offset : {size - 4096, uint64_t{0}, size / 2}) {
            auto data = pattern(4096, offset);
            ASSERT_EQ(image.write(data, offset), 4096);
            ref.write(data, offset);
        }
        // The L1 table fills clusters 3 and 4; the first L2 table follows it.
        EXPECT_EQ(be_at(img, 3 * kCluster + 16383 * 8, 8), (5 * kCluster) | kCopied);
    }
    EXPECT_EQ(qemu_check(img), "");
    EXPECT_EQ(qemu_compare(img, ref.path()), "");
}

TEST(Qcow2Write, UpdateRefcountOnlyEverSetsZeroCountsToOne) {
    TempDir dir;
    const std::string img = dir.file("u.qcow2");
    ASSERT_EQ(create(img, GiB), 0);
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(update_refcount(image.get(), 5 * kCluster + 100, 1), 0);
        EXPECT_EQ(refcount16(img, kCluster, 5), 1u);
        EXPECT_EQ(update_refcount(image.get(), 5 * kCluster, 1), 0);
        EXPECT_EQ(update_refcount(image.get(), 6 * kCluster, 0), 0);
        EXPECT_EQ(refcount16(img, kCluster, 5), 1u);
        EXPECT_EQ(refcount16(img, kCluster, 6), 0u);
        EXPECT_EQ(refcount16(img, kCluster, 0), 1u);
        EXPECT_EQ(update_refcount(image.get(), 0, 1), 0); // the header stays at 1
        EXPECT_EQ(refcount16(img, kCluster, 0), 1u);
    }
    OpenImage reader(img, ORU_RO);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(update_refcount(reader.get(), 7 * kCluster, 1), -1);
    EXPECT_EQ(refcount16(img, kCluster, 7), 0u);
}

TEST(Qcow2Write, SeededRandomWorkloadMatchesRawReference) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    struct Variant {
        uint32_t cluster_size;
        uint64_t size;
        int writes;
    } variants[] = {{64 * KiB, 3 * GiB + 12345 * 512, 300}, {2 * MiB, 1100 * GiB, 60}};
    for (const Variant &v : variants) {
        SCOPED_TRACE(v.cluster_size);
        const std::string name = "r" + std::to_string(v.cluster_size);
        const std::string img = dir.file(name + ".qcow2");
        ASSERT_EQ(create(img, v.size, nullptr, v.cluster_size), 0);
        RawReference ref(dir.file(name + ".raw"), v.size);
        const uint64_t l2_span = uint64_t{v.cluster_size} * (v.cluster_size / 8);
        std::mt19937_64 rng(20240611 + v.cluster_size);
        auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
        auto image = std::make_unique<OpenImage>(img, ORU_RW);
        ASSERT_TRUE(image->ok()) << image->open_text();
        for (int i = 0; i < v.writes; ++i) {
            uint64_t length = (1 + pick(4) == 1 ? 1 + pick(8) : 1 + pick(512)) * 512;
            uint64_t offset;
            switch (pick(4)) {
            case 0: // near an L2 range boundary
                offset = (1 + pick(v.size / l2_span)) * l2_span - pick(length + 8192) / 512 * 512;
                break;
            case 1: // near a cluster boundary in a busy region
                offset = pick(64) * v.cluster_size + v.cluster_size - pick(16) * 512;
                break;
            case 2: // near the end of the disk
                offset = v.size - pick(4 * v.cluster_size) / 512 * 512;
                break;
            default:
                offset = pick(v.size / 512) * 512;
            }
            if (offset >= v.size) offset = v.size - 512;
            auto data = pattern(length, 100 + i, offset);
            uint64_t expect = std::min<uint64_t>(length, v.size - offset);
            ASSERT_EQ(image->write(data, offset), static_cast<int>(expect)) << i << " @" << offset;
            ref.write(data, offset);
            // Half way through, a fresh open must carry on from what is in the file.
            if (i == v.writes / 2) {
                image.reset(); // a second writer in this process would be refused
                image = std::make_unique<OpenImage>(img, ORU_RW);
                ASSERT_TRUE(image->ok());
            }
        }
        image.reset();
        EXPECT_EQ(qemu_check(img), "");
        EXPECT_EQ(qemu_compare(img, ref.path()), "");
    }
}

TEST(Qcow2Write, RefcountBlocksAreAppendedWhenTheirRangeIsReached) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    // A created image counts 32768 clusters per block. Growing the file
    // (sparse, unreferenced clusters stay uncounted) brings the next
    // allocation to the end of block 0, then to the end of block 1 whose
    // own block must live in block 2's range.
    for (uint64_t start_cluster : {32766ull, 65535ull}) {
        SCOPED_TRACE(start_cluster);
        const std::string img = dir.file("b.qcow2");
        ASSERT_EQ(create(img, 4 * GiB), 0);
        ASSERT_EQ(truncate(img.c_str(), static_cast<off_t>(start_cluster * kCluster)), 0);
        RawReference ref(dir.file("b.raw"), 4 * GiB);
        {
            OpenImage image(img, ORU_RW);
            ASSERT_TRUE(image.ok());
            auto data = pattern(4 * kCluster + 1024, 9);
            ASSERT_EQ(image.write(data, 3 * GiB + 512), static_cast<int>(data.size()));
            ref.write(data, 3 * GiB + 512);
        }
        EXPECT_EQ(qemu_check(img), "");
        EXPECT_EQ(qemu_compare(img, ref.path()), "");
    }
}

TEST(Qcow2Write, NewClustersOverABackingFileKeepItsData) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string base = dir.file("base.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(base) + " 1G").status, 0);
    // Data in clusters 1 and 3 only; cluster 2 of the base reads as zeros.
    ASSERT_EQ(qemu_io(base, "-c 'write -P 0x11 64k 64k' -c 'write -P 0x33 192k 64k'"), "");
    const std::string top = dir.file("top.qcow2");
    ASSERT_EQ(create(top, GiB, "base.qcow2"), 0); // relative to the image's directory
    RawReference ref(dir.file("top.raw"), GiB, top);
    {
        OpenImage image(top, ORU_RW);
        ASSERT_TRUE(image.ok()) << image.open_text();
        auto a = pattern(512, 21);
        ASSERT_EQ(image.write(a, 64 * KiB + 1024), 512);
        ref.write(a, 64 * KiB + 1024);
        // The whole new cluster was written: backing data around the bytes.
        uint64_t host = be_at(top, 4 * kCluster + 8, 8) & ~kCopied;
        EXPECT_GE(next_hole(top, host), host + kCluster);

        auto b = pattern(512, 22);
        ASSERT_EQ(image.write(b, 128 * KiB + 8192), 512);
        ref.write(b, 128 * KiB + 8192);
        // Zeros behind: only the caller's bytes (one file-system block) land.
        host = be_at(top, 4 * kCluster + 16, 8) & ~kCopied;
        ASSERT_NE(host, 0u);
        uint64_t hole = next_hole(top, host + 8192);
        if (hole < file_length(top)) {
            EXPECT_LT(hole, host + kCluster);
        }

        // Spanning clusters 2..4 partly: both backing and zero neighbours.
        auto c = pattern(160 * KiB, 23);
        ASSERT_EQ(image.write(c, 160 * KiB), static_cast<int>(c.size()));
        ref.write(c, 160 * KiB);
    }
    EXPECT_EQ(qemu_check(top), "");
    EXPECT_EQ(qemu_compare(top, ref.path()), "");

    // copy_before_write reads the backing file's bytes of a guest range.
    {
        OpenImage image(top, ORU_RW);
        ASSERT_TRUE(image.ok());
        std::vector<uint8_t> got(4096, 0xff);
        EXPECT_EQ(copy_before_write(image.get(), got.data(), got.size(), 192 * KiB), 0);
        EXPECT_EQ(got, std::vector<uint8_t>(4096, 0x33));
    }

    // A backing file that cannot be read fails the write and allocates nothing.
    const std::string orphan = dir.file("orphan.qcow2");
    ASSERT_EQ(create(orphan, GiB, "missing-base.qcow2"), 0);
    OpenImage image(orphan, ORU_RW);
    ASSERT_TRUE(image.ok());
    std::string text;
    EXPECT_EQ(image.write(pattern(512, 24), 0, &text), -1);
    EXPECT_EQ(text, "read backing file failed");
    EXPECT_EQ(file_length(orphan), 196624u);
    std::vector<uint8_t> got(512);
    EXPECT_EQ(copy_before_write(image.get(), got.data(), got.size(), 0), -1);
    // A whole cluster needs nothing from the backing file.
    EXPECT_EQ(image.write(pattern(kCluster, 25), kCluster), static_cast<int>(kCluster));
}

TEST(Qcow2Write, CompressedClustersAreCopiedOnWrite) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string plain = dir.file("plain.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(plain) + " 64M").status, 0);
    ASSERT_EQ(qemu_io(plain, "-c 'write -P 0x41 0 1M' -c 'write -P 0x42 4M 320k'"), "");
    const std::string img = dir.file("c.qcow2");
    ASSERT_EQ(run("qemu-img convert -c -O qcow2 " + quote(plain) + " " + quote(img)).status, 0);
    RawReference ref(dir.file("c.raw"), 64 * MiB, img);
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok()) << image.open_text();
        struct {
            uint64_t offset, length;
        } writes[] = {{32 * KiB + 512, 512},           // middle of one cluster
                      {128 * KiB, kCluster},           // a whole cluster
                      {4 * MiB + 60 * KiB, 200 * KiB}, // across several
                      {32 * KiB + 4096, 4096}};        // the moved cluster again
        int seed = 30;
        for (const auto &w : writes) {
            auto data = pattern(w.length, seed++);
            ASSERT_EQ(image.write(data, w.offset), static_cast<int>(w.length));
            ref.write(data, w.offset);
        }
    }
    EXPECT_EQ(qemu_check(img), "");
    EXPECT_EQ(qemu_compare(img, ref.path()), "");
}

TEST(Qcow2Write, QemuImagesStayValid) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    for (const char *compat : {"1.1", "0.10"}) {
        SCOPED_TRACE(compat);
        const std::string img = dir.file(std::string("q") + compat + ".qcow2");
        ASSERT_EQ(run("qemu-img create -q -f qcow2 -o compat=" + std::string(compat) + " " +
                      quote(img) + " 2G")
                      .status,
                  0);
        ASSERT_EQ(qemu_io(img, "-c 'write -P 0x61 0 256k' -c 'write -P 0x62 1M 128k'"), "");
        bool v3 = std::string(compat) == "1.1";
        if (v3) {
            // A zero cluster keeping its old data cluster, and one without.
            ASSERT_EQ(qemu_io(img, "-c 'write -z 64k 64k' -c 'write -z -u 1M 64k' "
                                   "-c 'write -z 1536k 64k'"),
                      "");
        }
        RawReference ref(dir.file("q.raw"), 2 * GiB, img);
        {
            OpenImage image(img, ORU_RW);
            ASSERT_TRUE(image.ok()) << image.open_text();
            struct {
                uint64_t offset, length;
            } writes[] = {{64 * KiB + 4096, 512},   // zero cluster with an offset
                          {1 * MiB + 512, 1024},    // zero cluster without
                          {1536 * KiB, kCluster},   // whole zero cluster
                          {128 * KiB - 512, 4096},  // allocated, across clusters
                          {700 * MiB, 3 * kCluster}}; // new L2 table
            int seed = 40;
            for (const auto &w : writes) {
                auto data = pattern(w.length, seed++);
                ASSERT_EQ(image.write(data, w.offset), static_cast<int>(w.length));
                ref.write(data, w.offset);
            }
        }
        EXPECT_EQ(qemu_check(img), "");
        EXPECT_EQ(qemu_compare(img, ref.path()), "");
    }
}

TEST(Qcow2Write, PersistentBitmapsRecordTheWrite) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string img = dir.file("bm.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(img) + " 1G").status, 0);
    ASSERT_EQ(run("qemu-img bitmap --add " + quote(img) + " b0").status, 0);
    ASSERT_NE(be_at(img, 88, 8), 0u);
    RawReference ref(dir.file("bm.raw"), GiB);
    {
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok());
        auto data = pattern(4096, 45);
        ASSERT_EQ(image.write(data, 5 * MiB), 4096);
        ref.write(data, 5 * MiB);
    }
    // The bitmap saw this write (its bits live in a cluster allocated for
    // them) and stays trusted: the auto-clear bit is kept, nothing leaks.
    EXPECT_EQ(be_at(img, 88, 8), 1u);
    EXPECT_EQ(qemu_check(img), "");
    EXPECT_EQ(qemu_compare(img, ref.path()), "");
}

TEST(Qcow2Write, RefcountWidths) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    for (int bits : {1, 8, 32, 64}) {
        SCOPED_TRACE(bits);
        const std::string img = dir.file("w" + std::to_string(bits) + ".qcow2");
        ASSERT_EQ(run("qemu-img create -q -f qcow2 -o refcount_bits=" + std::to_string(bits) + " " +
                      quote(img) + " 1G")
                      .status,
                  0);
        ASSERT_EQ(qemu_io(img, "-c 'write -P 0x71 0 64k'"), "");
        RawReference ref(dir.file("w.raw"), GiB, img);
        uint64_t length = file_length(img);
        OpenImage image(img, ORU_RW);
        ASSERT_TRUE(image.ok()) << image.open_text();
        // Into the allocated cluster: no count to set.
        auto in_place = pattern(4096, 50);
        ASSERT_EQ(image.write(in_place, 8192), 4096);
        ref.write(in_place, 8192);
        auto fresh = pattern(8192, 51);
        std::string text;
        int n = image.write(fresh, 300 * MiB, &text);
        if (bits >= 16) {
            ASSERT_EQ(n, 8192);
            ref.write(fresh, 300 * MiB);
        } else {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(text, "qcow refcount width is not supported for writing");
            EXPECT_EQ(file_length(img), length);
        }
        image.close();
        EXPECT_EQ(qemu_check(img), "");
        EXPECT_EQ(qemu_compare(img, ref.path()), "");
    }
}

TEST(Qcow2Write, RefusalsLeaveTheImageAlone) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    std::string text;

    // Internal snapshots share clusters with the active disk.
    const std::string snap = dir.file("s.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 " + quote(snap) + " 1G").status, 0);
    ASSERT_EQ(qemu_io(snap, "-c 'write -P 0x5 0 64k'"), "");
    ASSERT_EQ(run("qemu-img snapshot -c s1 " + quote(snap)).status, 0);
    std::vector<uint8_t> before = file_bytes(snap);
    {
        OpenImage image(snap, ORU_RW);
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(image.write(pattern(512, 60), 0, &text), -1);
        EXPECT_EQ(text, "qcow image has internal snapshots, writes are not supported");
        EXPECT_EQ(image.write(pattern(512, 60), 100 * MiB, &text), -1);
    }
    EXPECT_EQ(file_bytes(snap), before);

    // A read-only record writes nothing.
    const std::string img = dir.file("r.qcow2");
    ASSERT_EQ(create(img, GiB), 0);
    {
        OpenImage image(img, ORU_RO);
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(image.write(pattern(512, 61), 0, &text), -1);
        EXPECT_EQ(text, "qcow image is opened read-only");
    }
    EXPECT_EQ(file_length(img), 196624u);

    // Requests whose count cannot be returned, and no buffer at all.
    const std::string wide = dir.file("wide.qcow2");
    ASSERT_EQ(create(wide, 10 * GiB), 0);
    {
        OpenImage image(wide, ORU_RW);
        ASSERT_TRUE(image.ok());
        char *error = nullptr;
        uint8_t small[512] = {};
        EXPECT_EQ(qcow2_write(image.get(), small, 2 * GiB, 0, &error), -1);
        EXPECT_STREQ(error, "write request is too large");
        EXPECT_EQ(qcow2_write(image.get(), nullptr, 512, 0, &error), -1);
        EXPECT_EQ(qcow2_write(nullptr, small, 512, 0, &error), -1);
    }
    EXPECT_EQ(file_length(wide), 196624u);

    // A header whose size reaches past what its L1 table covers.
    const std::string short_l1 = dir.file("l1.qcow2");
    ASSERT_EQ(create(short_l1, GiB), 0);
    {
        int fd = ::open(short_l1.c_str(), O_WRONLY);
        const uint8_t two_gib[8] = {0, 0, 0, 0, 0x80, 0, 0, 0};
        ASSERT_EQ(pwrite(fd, two_gib, 8, 24), 8);
        ::close(fd);
        OpenImage image(short_l1, ORU_RW);
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(image.write(pattern(4096, 62), GiB - 2048, &text), -1);
        EXPECT_EQ(text, "write lies beyond the qcow L1 table");
        EXPECT_EQ(file_length(short_l1), 196624u);
        EXPECT_EQ(image.write(pattern(4096, 62), GiB - 4096), 4096);
    }

    // A file already as long as the refcount table can count (64-bit counts:
    // 8192 blocks of 8192 clusters): no further cluster can be counted.
    const std::string full = dir.file("f.qcow2");
    ASSERT_EQ(run("qemu-img create -q -f qcow2 -o refcount_bits=64 " + quote(full) + " 1G").status, 0);
    ASSERT_EQ(qemu_io(full, "-c 'write -P 0x9 0 64k'"), "");
    const uint64_t limit = 8192ull * 8192 * kCluster - 2 * kCluster;
    ASSERT_EQ(truncate(full.c_str(), static_cast<off_t>(limit)), 0);
    {
        OpenImage image(full, ORU_RW);
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(image.write(pattern(512, 63), 512 * MiB, &text), -1);
        EXPECT_EQ(text, "qcow refcount table is full");
        EXPECT_EQ(file_length(full), limit);
        EXPECT_EQ(image.write(pattern(512, 63), 4096), 512);
    }
}
