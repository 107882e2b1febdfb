// Images made by qcow2_create / oruDiskLib_Create: the exact initial layout,
// judged byte by byte and by qemu-img, and the refusals that must leave any
// existing file alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image_oracle.h"
#include "oruDiskLib.h"
#include "qcow2.h"

using namespace oru::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB, TiB = 1024 * GiB;

int create(const std::string &path, const char *backing, uint32_t cluster_size, uint64_t size) {
    return qcow2_create(const_cast<char *>(path.c_str()), const_cast<char *>(backing), cluster_size,
                        size);
}

uint64_t l1_size_for(uint64_t size, uint64_t cs) {
    uint64_t span = cs * cs / 8;
    return (size + span - 1) / span;
}

} // namespace

TEST(Qcow2Create, InitialLayoutForEveryClusterSize) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    for (uint32_t bits = 16; bits <= 21; ++bits) {
        SCOPED_TRACE("cluster_bits " + std::to_string(bits));
        const uint64_t cs = 1ull << bits;
        const std::string img = dir.file("c" + std::to_string(bits) + ".qcow2");
        const uint64_t size = 10 * GiB;
        ASSERT_EQ(create(img, nullptr, static_cast<uint32_t>(cs), size), 0);

        EXPECT_EQ(file_length(img), 3 * cs + (bits == 16 ? 16 : 8));
        EXPECT_EQ(be_at(img, 0, 4), 0x514649FBu);
        EXPECT_EQ(be_at(img, 4, 4), 3u);
        EXPECT_EQ(be_at(img, 8, 8), 0u);  // no backing file
        EXPECT_EQ(be_at(img, 16, 4), 0u);
        EXPECT_EQ(be_at(img, 20, 4), bits);
        EXPECT_EQ(be_at(img, 24, 8), size);
        EXPECT_EQ(be_at(img, 32, 4), 0u);
        EXPECT_EQ(be_at(img, 36, 4), l1_size_for(size, cs));
        EXPECT_EQ(be_at(img, 40, 8), 3 * cs);
        EXPECT_EQ(be_at(img, 48, 8), cs);
        EXPECT_EQ(be_at(img, 56, 4), 1u);
        EXPECT_EQ(be_at(img, 60, 4), 0u);
        EXPECT_EQ(be_at(img, 72, 8) | be_at(img, 80, 8) | be_at(img, 88, 8), 0u);
        EXPECT_EQ(be_at(img, 96, 4), 4u);
        EXPECT_EQ(be_at(img, 100, 4), 104u);
        EXPECT_EQ(be_at(img, 104, 8), 0u); // no compression type, no extension
        EXPECT_EQ(be_at(img, cs, 8), 2 * cs);
        EXPECT_EQ(be_at(img, cs + 8, 8), 0u);
        for (uint64_t c = 0; c < 4; ++c) EXPECT_EQ(refcount16(img, cs, c), 1u) << c;
        EXPECT_EQ(refcount16(img, cs, 4), 0u);

        EXPECT_EQ(qemu_check(img), "");
        CommandResult info = run("qemu-img info --output=json " + quote(img));
        EXPECT_NE(info.out.find("\"virtual-size\": " + std::to_string(size)), std::string::npos)
            << info.out;
        EXPECT_NE(info.out.find("\"cluster-size\": " + std::to_string(cs)), std::string::npos);
        // A fresh image reads as zeros everywhere.
        std::string zeros = dir.file("zeros.raw");
        ASSERT_EQ(run("truncate -s " + std::to_string(size) + " " + quote(zeros)).status, 0);
        EXPECT_EQ(qemu_compare(img, zeros), "");
    }
}

TEST(Qcow2Create, L1SizeRoundsUpTheVirtualSize) {
    TempDir dir;
    const std::string img = dir.file("a.qcow2");
    struct Case {
        uint32_t cs;
        uint64_t size;
        uint64_t l1;
    } cases[] = {
        {64 * KiB, 10 * GiB, 20},  {64 * KiB, GiB + 1, 3},         {64 * KiB, 0, 0},
        {64 * KiB, 1, 1},          {64 * KiB, 512 * MiB, 1},       {64 * KiB, 512 * MiB + 1, 2},
        {128 * KiB, 2 * GiB, 1},   {128 * KiB, 2 * GiB + 512, 2},  {256 * KiB, 8 * GiB, 1},
        {512 * KiB, 33 * GiB, 2},  {1 * MiB, 128 * GiB + 1, 2},    {2 * MiB, 512 * GiB, 1},
        {2 * MiB, 4 * TiB, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.cs) + " / " + std::to_string(c.size));
        ASSERT_EQ(create(img, nullptr, c.cs, c.size), 0);
        EXPECT_EQ(be_at(img, 36, 4), c.l1);
        EXPECT_EQ(be_at(img, 24, 8), c.size);
    }
}

TEST(Qcow2Create, BackingNameIsStoredAsGiven) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string base = dir.file("base.raw");
    ASSERT_EQ(run("truncate -s 1G " + quote(base)).status, 0);
    const std::string img = dir.file("top.qcow2");

    ASSERT_EQ(create(img, "base", 64 * KiB, GiB), 0);
    EXPECT_EQ(be_at(img, 8, 8), 264u);
    EXPECT_EQ(be_at(img, 16, 4), 4u);
    EXPECT_EQ(be_at(img, 264, 4), 0x62617365u); // "base"
    EXPECT_EQ(be_at(img, 268, 1), 0u);
    EXPECT_EQ(file_length(img), 196624u);
    CommandResult info = run("qemu-img info --output=json " + quote(img));
    EXPECT_NE(info.out.find("\"backing-filename\": \"base\""), std::string::npos) << info.out;

    // The longest name a reader can hold; it runs past the first 512 bytes.
    std::string fill(1023 - dir.path().size() - std::string("/base.raw").size(), '/');
    for (size_t i = 0; i + 1 < fill.size(); i += 2) fill[i] = '.';
    std::string long_name = dir.path() + "/" + fill + "base.raw";
    ASSERT_EQ(long_name.size(), 1023u);
    ASSERT_EQ(create(img, long_name.c_str(), 64 * KiB, GiB), 0);
    EXPECT_EQ(be_at(img, 16, 4), 1023u);
    std::vector<uint8_t> bytes = file_bytes(img);
    EXPECT_EQ(std::string(bytes.begin() + 264, bytes.begin() + 264 + 1023), long_name);
    EXPECT_EQ(bytes[264 + 1023], 0);
    EXPECT_EQ(qemu_check(img), "");

    // An empty name means no backing file.
    ASSERT_EQ(create(img, "", 64 * KiB, GiB), 0);
    EXPECT_EQ(be_at(img, 8, 8), 0u);
    EXPECT_EQ(be_at(img, 16, 4), 0u);
}

TEST(Qcow2Create, RefusalsTouchNoFile) {
    TempDir dir;
    const std::string kept = dir.file("kept");
    write_file(kept, pattern(4096, 7));
    const std::string fresh = dir.file("fresh");
    for (uint32_t cs : {0u, 512u, 4096u, 32768u, 65535u, 65537u, 3u * 65536u, 4u * 1024 * 1024,
                        0x80000000u}) {
        SCOPED_TRACE(cs);
        EXPECT_EQ(create(kept, nullptr, cs, GiB), -1);
        EXPECT_EQ(create(fresh, nullptr, cs, GiB), -1);
    }
    std::string too_long(1024, 'b');
    EXPECT_EQ(create(kept, too_long.c_str(), 64 * KiB, GiB), -1);
    // An L1 table beyond what readers accept (32 MiB), and sizes beyond off_t.
    EXPECT_EQ(create(kept, nullptr, 64 * KiB, (1ull << 51) + 1), -1);
    EXPECT_EQ(create(kept, nullptr, 2 * MiB, UINT64_MAX), -1);
    EXPECT_EQ(read_file(kept), pattern(4096, 7));
    EXPECT_EQ(access(fresh.c_str(), F_OK), -1);
    EXPECT_EQ(qcow2_create(nullptr, nullptr, 64 * KiB, GiB), -1);
    EXPECT_EQ(create(dir.file("no/such/dir.qcow2"), nullptr, 64 * KiB, GiB), -1);
}

TEST(Qcow2Create, LongL1TableGetsClustersOfItsOwn) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string img = dir.file("big.qcow2");
    // 8 TiB with 64 KiB clusters: 16384 L1 entries, two clusters of L1.
    ASSERT_EQ(create(img, nullptr, 64 * KiB, 8 * TiB), 0);
    EXPECT_EQ(be_at(img, 36, 4), 16384u);
    EXPECT_EQ(file_length(img), 4 * 64 * KiB + 16);
    for (uint64_t c = 0; c < 5; ++c) EXPECT_EQ(refcount16(img, 64 * KiB, c), 1u) << c;
    EXPECT_EQ(refcount16(img, 64 * KiB, 5), 0u);
    EXPECT_EQ(qemu_check(img), "");
    // qemu's own first allocation must land after the table, not inside it.
    ASSERT_EQ(run("qemu-io -f qcow2 -c 'write -P 0x5a 8796092956672 64k' " + quote(img)).status, 0);
    EXPECT_EQ(qemu_check(img), "");
}

TEST(Qcow2Create, PublicCreateChoosesTheFormat) {
    TempDir dir;
    const std::string img = dir.file("a.img");
    write_file(img, pattern(1 * MiB, 3));
    EXPECT_EQ(oruDiskLib_Create(const_cast<char *>(img.c_str()), nullptr, 64 * KiB, 10 * GiB, ORU_QCOW),
              ORU_OK);
    EXPECT_EQ(file_length(img), 196624u); // an existing file is replaced
    EXPECT_EQ(be_at(img, 0, 4), 0x514649FBu);
    for (int format : {static_cast<int>(ORU_RAW), static_cast<int>(ORU_LUKS), 7}) {
        SCOPED_TRACE(format);
        EXPECT_EQ(oruDiskLib_Create(const_cast<char *>(img.c_str()), const_cast<char *>("base"),
                                    12345, 3 * MiB + 512, format),
                  ORU_OK);
        EXPECT_EQ(file_length(img), 3 * MiB + 512);
        EXPECT_EQ(be_at(img, 0, 8), 0u);
    }
    EXPECT_EQ(static_cast<int>(oruDiskLib_Create(const_cast<char *>(img.c_str()), nullptr, 4096,
                                                 GiB, ORU_QCOW)),
              -1);
}
