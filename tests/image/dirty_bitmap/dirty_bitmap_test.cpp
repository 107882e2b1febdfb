// qemu's persistent dirty bitmaps in local qcow2 images: the library's
// oruDiskLib_ListBitmaps and oruDiskLib_QueryChangedExtents against what
// qemu-nbd exports of the same bitmap (nbdinfo --map=qemu:dirty-bitmap:NAME),
// over granularities, bitmap table layouts, a chain and a 3 TiB thin image;
// and the refusals that keep an incremental backup from missing a change.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "image/extents/extents_oracle.h"
#include "support/local_volume.h"

using namespace oru::test;

namespace {

// What qemu-nbd exports of the bitmap: clean runs are the unchanged ones.
std::vector<ByteRun> qemu_dirty_map(const std::string &image, const std::string &name) {
    CommandResult r =
        run("nbdinfo --json --map=qemu:dirty-bitmap:" + name + " -- [ qemu-nbd -r -f qcow2 -B " +
            quote(name) + " " + quote(image) + " ]");
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<ByteRun> runs;
    if (r.status != 0) return runs;
    for (const auto &e : nlohmann::json::parse(r.out)) {
        const uint32_t type = e["type"];
        runs.push_back({e["offset"], e["length"], (type & 1) == 0});
    }
    return runs;
}

uint64_t be(const std::vector<uint8_t> &bytes, size_t at, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | bytes.at(at + i);
    return v;
}

// ORs `bits` into byte `at` of bitmap directory entry `index` of the image
// (15: the low byte of the flags), or into header byte `at` for index -1.
void patch(const std::string &image, int index, size_t at, uint8_t bits) {
    std::vector<uint8_t> bytes = read_file(image);
    size_t pos = be(bytes, 100, 4);
    while (be(bytes, pos, 4) != 0x23852875) {
        ASSERT_NE(be(bytes, pos, 4), 0u) << "no bitmaps extension";
        pos += 8 + (be(bytes, pos + 4, 4) + 7) / 8 * 8;
    }
    size_t entry = be(bytes, pos + 24, 8);
    for (int i = 0; i < index; ++i)
        entry += (24 + be(bytes, entry + 20, 4) + be(bytes, entry + 18, 2) + 7) / 8 * 8;
    bytes.at(index < 0 ? at : entry + at) |= bits;
    write_file(image, bytes);
}

// A patch that clears the header's autoclear bits, as a program that does
// not know bitmaps does when it writes.
void clear_autoclear(const std::string &image) {
    std::vector<uint8_t> bytes = read_file(image);
    std::fill(bytes.begin() + 88, bytes.begin() + 96, 0);
    write_file(image, bytes);
}

class Volume : public LocalVolume {
  public:
    Volume(const std::string &path, int format, int flag = ORU_RO)
        : LocalVolume(path, format, flag) {}

    std::vector<oruDiskLibBitmapInfo> bitmaps() const {
        uint32_t n = 0;
        EXPECT_EQ(oruDiskLib_ListBitmaps(handle(), volume(), nullptr, 0, &n), ORU_OK);
        std::vector<oruDiskLibBitmapInfo> all(n);
        uint32_t again = 0;
        EXPECT_EQ(oruDiskLib_ListBitmaps(handle(), volume(), all.data(), n, &again), ORU_OK);
        EXPECT_EQ(again, n);
        return all;
    }

    uint32_t info_flags() const {
        oruDiskLibInfo info{};
        info.structSize = sizeof info;
        EXPECT_EQ(oruDiskLib_GetInfo(handle(), volume(), &info), ORU_OK);
        return info.flags;
    }

    // The whole volume as the bitmap marks it, in calls of at most `max`
    // extents, each continuing where the previous one ended; zero = unchanged.
    std::vector<Extent> changed(const std::string &name, uint32_t max) const {
        std::vector<Extent> all;
        std::vector<oruDiskLibExtent> batch(max);
        uint64_t next = 0;
        for (;;) {
            uint32_t n = 0;
            oruError rc = oruDiskLib_QueryChangedExtents(handle(), volume(), name.c_str(), next,
                                                         UINT64_MAX, batch.data(), max, &n);
            EXPECT_EQ(rc, ORU_OK) << oruDiskLib_GetErrorText(rc);
            if (rc != ORU_OK || n == 0) return all;
            for (uint32_t i = 0; i < n; ++i) {
                const oruDiskLibExtent &e = batch[i];
                EXPECT_EQ(e.start, next);
                EXPECT_TRUE(e.flags == 0 || e.flags == ORU_EXTENT_CHANGED);
                if (e.start != next || e.count == 0) return all;
                const bool unchanged = e.flags == 0;
                if (!all.empty() && all.back().zero == unchanged)
                    all.back().count += e.count;
                else
                    all.push_back({e.start, e.count, unchanged});
                next += e.count;
            }
        }
    }

    // A refused query: its code, and the text it leaves.
    std::string refusal(const std::string &name, oruError want) const {
        oruDiskLibExtent e[4];
        uint32_t n = 7;
        oruError rc =
            oruDiskLib_QueryChangedExtents(handle(), volume(), name.c_str(), 0, 8, e, 4, &n);
        EXPECT_EQ(rc, want);
        EXPECT_EQ(n, 0u);
        return oruDiskLib_GetErrorText(rc);
    }
};

class DirtyBitmaps : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
        ORU_REQUIRE_PROGRAM("qemu-nbd");
        ORU_REQUIRE_PROGRAM("nbdinfo");
    }
    std::string create(const std::string &name, const std::string &options, const std::string &size,
                       const std::string &backing = "") {
        return create_qcow2(dir.file(name), options, size, backing);
    }
    void add_bitmap(const std::string &image, const std::string &name, const std::string &options) {
        run_ok("qemu-img bitmap --add " + options + " " + quote(image) + " " + quote(name));
    }
    // The library's answer, in one call and one extent per call, equals
    // qemu-nbd's export of the bitmap.
    void expect_like_qemu(const std::string &image, const std::string &name, uint64_t bytes) {
        const std::vector<Extent> want = expected_extents(qemu_dirty_map(image, name), bytes);
        Volume v(image, ORU_QCOW);
        EXPECT_EQ(v.changed(name, 100000), want) << image << " " << name;
        if (want.size() < 64) {
            EXPECT_EQ(v.changed(name, 1), want) << image << " one per call";
        }
    }
    TempDir dir;
};

// 4 KiB, 64 KiB and 1 MiB granularities over 64 KiB clusters, and 4 KiB
// clusters whose bitmap table has several entries (each covering 128 MiB of
// a 4 KiB bitmap): unaligned writes, writes across table entries, zeroing
// and discards all mark the bitmap; a disabled bitmap stays clean.
TEST_F(DirtyBitmaps, ChangedExtentsAgreeWithQemuNbd) {
    const std::string img = create("g.qcow2", "cluster_size=65536", "100M");
    add_bitmap(img, "g4k", "--enable -g 4096");
    add_bitmap(img, "g64k", "--enable -g 65536");
    add_bitmap(img, "g1m", "--enable -g 1048576");
    add_bitmap(img, "off", "--disable -g 65536");
    io(img, {"write -P 1 5000 10000", "write -P 2 1M 64k", "write -z 7M 300k", "write -P 3 33M 1",
             "discard 40M 1M", "write -P 4 104857088 512"});
    for (const char *name : {"g4k", "g64k", "g1m", "off"})
        expect_like_qemu(img, name, 100 << 20);
    Volume v(img, ORU_QCOW);
    std::vector<oruDiskLibBitmapInfo> listed = v.bitmaps();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_STREQ(listed[0].name, "g4k");
    EXPECT_EQ(listed[0].granularity, 4096u);
    EXPECT_EQ(listed[0].flags, uint32_t{ORU_BITMAP_ENABLED});
    EXPECT_STREQ(listed[2].name, "g1m");
    EXPECT_EQ(listed[2].granularity, 1u << 20);
    EXPECT_STREQ(listed[3].name, "off");
    EXPECT_EQ(listed[3].flags, 0u);
    EXPECT_TRUE(v.info_flags() & ORU_INFO_BITMAPS);
    // Asked from the middle of an extent, the answer starts there.
    oruDiskLibExtent e[2];
    uint32_t n = 0;
    ASSERT_EQ(oruDiskLib_QueryChangedExtents(v.handle(), v.volume(), "g64k", 2049, 10, e, 2, &n),
              ORU_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(e[0].start, 2049u);
    EXPECT_EQ(e[0].count, 10u);
    EXPECT_EQ(e[0].flags, uint32_t{ORU_EXTENT_CHANGED});

    const std::string small = create("c4k.qcow2", "cluster_size=4096", "1G");
    add_bitmap(small, "b", "--enable -g 4096");
    io(small, {"write -P 1 0 8k", "write -P 2 134213632 8k", "write -P 3 700M 3M",
               "write -P 4 1073737728 4k"});
    expect_like_qemu(small, "b", 1 << 30);
}

// The bitmap belongs to the layer that holds it: an overlay's bitmap says
// what changed in the overlay, and the base's bitmap is not the overlay's.
// A 3 TiB thin image costs what its bitmap holds, not its size.
TEST_F(DirtyBitmaps, ChainsAndThinImagesAgreeWithQemuNbd) {
    const std::string base = create("base.qcow2", "cluster_size=65536", "64M");
    add_bitmap(base, "base-b", "--enable");
    io(base, {"write -P 1 0 4M"});
    const std::string top = create("top.qcow2", "cluster_size=65536", "64M", base);
    add_bitmap(top, "top-b", "--enable -g 4096");
    io(top, {"write -P 2 3M 2M", "write -z 10M 12k"});
    expect_like_qemu(top, "top-b", 64 << 20);
    Volume v(top, ORU_QCOW);
    ASSERT_EQ(v.bitmaps().size(), 1u);
    EXPECT_NE(v.refusal("base-b", ORU_E_QCOW_BITMAP).find("no bitmap of that name"),
              std::string::npos);

    const uint64_t thin = 3ULL << 40;
    const std::string big = create("thin.qcow2", "cluster_size=65536", "3T");
    add_bitmap(big, "b", "--enable -g 4096");
    io(big, {"write -P 1 0 64k", "write -P 2 1T 1M", "write -P 3 3298534879232 4k"});
    expect_like_qemu(big, "b", thin);
}

// Refusals: an unknown name, a bitmap left in use by a writer that died,
// the bitmaps of an image written by a program that did not update them,
// and a raw volume.
// None answers "unchanged".
TEST_F(DirtyBitmaps, RefusesWhatItCannotVouchFor) {
    const std::string img = create("r.qcow2", "cluster_size=65536", "16M");
    add_bitmap(img, "b0", "--enable");
    add_bitmap(img, "b1", "--enable");
    io(img, {"write -P 1 0 64k"});
    {
        Volume v(img, ORU_QCOW);
        EXPECT_NE(v.refusal("nope", ORU_E_QCOW_BITMAP).find("no bitmap of that name"),
                  std::string::npos);
    }

    // The in_use flag of b1's directory entry, as a qemu killed while
    // writing leaves it; qemu-nbd refuses to export it too.
    const std::string used = dir.file("used.qcow2");
    run_ok("cp " + quote(img) + " " + quote(used));
    patch(used, 1, 15, 1);
    EXPECT_NE(run("nbdinfo --map=qemu:dirty-bitmap:b1 -- [ qemu-nbd -r -f qcow2 -B b1 " +
                  quote(used) + " ]")
                  .status,
              0);
    {
        Volume v(used, ORU_QCOW);
        std::vector<oruDiskLibBitmapInfo> listed = v.bitmaps();
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(listed[0].flags, uint32_t{ORU_BITMAP_ENABLED});
        EXPECT_EQ(listed[1].flags, uint32_t{ORU_BITMAP_ENABLED | ORU_BITMAP_INCONSISTENT});
        EXPECT_NE(v.refusal("b1", ORU_E_QCOW_BITMAP).find("in use"), std::string::npos);
        EXPECT_EQ(v.changed("b0", 16).size(), 2u);
    }

    // The autoclear bit cleared by a writer that does not know bitmaps.
    clear_autoclear(img);
    {
        Volume v(img, ORU_QCOW);
        for (const oruDiskLibBitmapInfo &b : v.bitmaps())
            EXPECT_TRUE(b.flags & ORU_BITMAP_INCONSISTENT) << b.name;
        EXPECT_NE(v.refusal("b0", ORU_E_QCOW_BITMAP).find("inconsistent"), std::string::npos);
    }

    // Raw files keep no bitmaps: none listed, and a query refused with a
    // text in the raw slot.
    const std::string raw = dir.file("r.raw");
    run_ok("truncate -s 1M " + quote(raw));
    Volume v(raw, ORU_RAW);
    EXPECT_TRUE(v.bitmaps().empty());
    EXPECT_FALSE(v.info_flags() & ORU_INFO_BITMAPS);
    EXPECT_NE(v.refusal("b0", ORU_E_RAW_BITMAP).find("no change-tracking bitmaps"),
              std::string::npos);
    EXPECT_STREQ(rawerror, oruDiskLib_GetErrorText(ORU_E_RAW_BITMAP));
}

// Writes through the library mark every enabled bitmap as qemu would: after
// a clean close qemu-img check is clean, qemu still trusts the bitmaps and
// exports each as the library reads it, with the written sectors dirty
// (bits in clusters qemu had stored, and in clusters allocated for table
// entries that were all zeros); a disabled bitmap is left alone. While the
// image is open for writing the enabled bitmaps are in use.
TEST_F(DirtyBitmaps, WritesThroughTheLibraryMarkEnabledBitmaps) {
    const std::string img = create("w.qcow2", "cluster_size=4096", "1G");
    add_bitmap(img, "g4k", "--enable -g 4096");
    add_bitmap(img, "g1m", "--enable -g 1048576");
    add_bitmap(img, "off", "--disable");
    add_bitmap(img, "g512", "--enable -g 512");
    io(img, {"write -P 1 0 64k"});
    const std::vector<Extent> off_before = expected_extents(qemu_dirty_map(img, "off"), 1 << 30);
    // (start sector, sectors): inside stored bits, across the 128 MiB
    // boundary of two g4k table entries, in table entries that were all
    // zeros, and all of a 16 MiB g512 table entry.
    const std::vector<std::pair<uint64_t, uint64_t>> writes = {
        {17, 3}, {262143, 2}, {1500000, 300}, {2097151, 1}, {65536, 32768}};
    {
        Volume v(img, ORU_QCOW, ORU_RW);
        for (auto [start, count] : writes) {
            std::vector<uint8_t> data = pattern(count * 512, start);
            ASSERT_EQ(oruDiskLib_Write(v.handle(), v.volume(), start, count, data.data()), ORU_OK);
        }
        std::vector<oruDiskLibBitmapInfo> listed = v.bitmaps();
        ASSERT_EQ(listed.size(), 4u);
        EXPECT_TRUE(listed[0].flags & ORU_BITMAP_INCONSISTENT) << "in use while open";
        EXPECT_EQ(listed[2].flags, 0u);
        ASSERT_EQ(v.close(), ORU_OK);
    }
    CommandResult check = run("qemu-img check -f qcow2 " + quote(img), true);
    EXPECT_EQ(check.status, 0) << check.out;
    CommandResult info = run("qemu-img info " + quote(img), true);
    EXPECT_EQ(info.out.find("in-use"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("lacking bitmap support"), std::string::npos) << info.out;
    for (const char *name : {"g4k", "g1m", "g512"}) {
        const std::vector<Extent> dirty = expected_extents(qemu_dirty_map(img, name), 1 << 30);
        for (auto [start, count] : writes) {
            auto covering = std::find_if(dirty.begin(), dirty.end(), [&](const Extent &e) {
                return !e.zero && e.start <= start && start + count <= e.start + e.count;
            });
            EXPECT_TRUE(covering != dirty.end()) << name << " misses sector " << start;
        }
        expect_like_qemu(img, name, 1 << 30);
    }
    EXPECT_EQ(expected_extents(qemu_dirty_map(img, "off"), 1 << 30), off_before);
}

// A writer that dies leaves its bitmaps in use: qemu and the library refuse
// them. An enabled bitmap the library cannot update (here: a flag it does
// not know) makes a write drop every bitmap instead, durably, before the
// data changes.
TEST_F(DirtyBitmaps, NoBitmapMissesAWrite) {
    const std::string img = create("k.qcow2", "cluster_size=65536", "64M");
    add_bitmap(img, "b0", "--enable");
    const std::string odd = dir.file("odd.qcow2");
    run_ok("cp " + quote(img) + " " + quote(odd));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Volume v(img, ORU_QCOW, ORU_RW);
        std::vector<uint8_t> data(512, 7);
        _exit(oruDiskLib_Write(v.handle(), v.volume(), 100, 1, data.data()) == ORU_OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(run("nbdinfo --map=qemu:dirty-bitmap:b0 -- [ qemu-nbd -r -f qcow2 -B b0 " +
                  quote(img) + " ]")
                  .status,
              0);
    {
        Volume v(img, ORU_QCOW);
        EXPECT_NE(v.refusal("b0", ORU_E_QCOW_BITMAP).find("in use"), std::string::npos);
    }

    patch(odd, 0, 15, 8);
    {
        Volume v(odd, ORU_QCOW, ORU_RW);
        std::vector<uint8_t> data(512, 7);
        ASSERT_EQ(oruDiskLib_Write(v.handle(), v.volume(), 100, 1, data.data()), ORU_OK);
    }
    std::vector<uint8_t> bytes = read_file(odd);
    EXPECT_EQ(be(bytes, 88, 8), 0u);
    CommandResult info = run("qemu-img info " + quote(odd), true);
    EXPECT_NE(info.out.find("lacking bitmap support"), std::string::npos) << info.out;
}

} // namespace
