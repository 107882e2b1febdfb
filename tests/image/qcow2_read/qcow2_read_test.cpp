// Reading qcow2 images made by qemu-img and qemu-io: every read is compared
// byte for byte with what `qemu-img convert -O raw` makes of the same image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "image/qcow2_internal.h"
#include "qcow2_fixture.h"

using namespace oru::test;
using namespace oru::qcow2_engine;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;

// Reads the whole image in several piece sizes (one call, whole MiBs, and an
// odd size that starts pieces 4 KiB before cluster boundaries) and compares
// each with qemu-img's reading.
// (Small pieces of big compressed clusters inflate the cluster once per
// piece: callers may leave out the smallest piece size.)
std::vector<uint8_t> expect_reads_like_qemu(const std::string &image, bool small_pieces = true) {
    std::vector<uint8_t> want = qemu_raw(image);
    OpenImage img(image);
    EXPECT_EQ(img.result, 0) << img.text();
    if (img.result != 0) return want;
    EXPECT_EQ(img.q->size, want.size());
    for (size_t chunk : {size_t{want.size()}, size_t{MiB}, size_t{60 * KiB + 512}, size_t{8 * KiB}}) {
        if (chunk == 0 || (chunk == 8 * KiB && !small_pieces)) continue;
        EXPECT_EQ(first_difference(engine_raw(img.q, chunk), want), -1) << image << " in pieces of " << chunk;
    }
    return want;
}

std::string write_from(const std::string &pattern_file, uint64_t offset, uint64_t length) {
    return " -c 'write -q -s " + pattern_file + " " + std::to_string(offset) + " " + std::to_string(length) + "'";
}

class Qcow2Read : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
        data = dir.file("pattern.bin");
        write_file(data, pattern(4 * MiB, 7));
    }
    void qemu_io(const std::string &image, const std::string &commands) {
        sh("qemu-io -f qcow2" + commands + " " + quote(image));
    }
    TempDir dir;
    std::string data;
};

struct Layout {
    const char *compat;
    uint64_t cluster_size;
};

class Qcow2ReadLayouts : public Qcow2Read, public ::testing::WithParamInterface<Layout> {};

// Scattered writes, some in descending guest order so that host clusters are
// not in guest order, on a disk whose size is not a whole number of clusters.
TEST_P(Qcow2ReadLayouts, ScatteredDataReadsLikeQemu) {
    Layout p = GetParam();
    std::string image = dir.file("scattered.qcow2");
    uint64_t size = 12 * MiB + 1536;
    sh("qemu-img create -q -f qcow2 -o compat=" + std::string(p.compat) +
       ",cluster_size=" + std::to_string(p.cluster_size) + " " + quote(image) + " " + std::to_string(size));
    qemu_io(image, write_from(data, 9 * MiB, 2 * MiB + 4 * KiB) + write_from(data, 0, 100 * KiB) +
                       write_from(data, 3 * MiB + 512, MiB + 3584) + write_from(data, 6 * MiB, 64 * KiB) +
                       write_from(data, size - 4 * KiB, 4 * KiB) + write_from(data, 5 * MiB, 64 * KiB));
    std::vector<uint8_t> want = expect_reads_like_qemu(image);
    OpenImage img(image);
    ASSERT_EQ(img.result, 0);
    // Across the virtual end: only the bytes up to it, the rest untouched.
    std::vector<uint8_t> buf(64 * KiB, 0xEE);
    EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), size - 1024, &img.error), 1024);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, want.end() - 1024));
    EXPECT_EQ(buf[1024], 0xEE);
    EXPECT_EQ(buf.back(), 0xEE);
    // At and past the end: nothing.
    EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), size, &img.error), 0);
    EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), UINT64_MAX, &img.error), 0);
    EXPECT_EQ(buf[0], want[size - 1024]);
}

INSTANTIATE_TEST_SUITE_P(VersionsAndClusterSizes, Qcow2ReadLayouts,
                         ::testing::Values(Layout{"0.10", 64 * KiB}, Layout{"1.1", 64 * KiB},
                                           Layout{"1.1", 256 * KiB}, Layout{"0.10", 2 * MiB},
                                           Layout{"1.1", 2 * MiB}),
                         [](const auto &info) {
                             return std::string(info.param.compat[0] == '0' ? "v2_" : "v3_") +
                                    std::to_string(info.param.cluster_size / KiB) + "k";
                         });

class Qcow2ReadCompressed : public Qcow2ReadLayouts {};

TEST_P(Qcow2ReadCompressed, CompressedClustersReadLikeQemu) {
    Layout p = GetParam();
    std::string raw = dir.file("source.raw"), image = dir.file("compressed.qcow2");
    std::vector<uint8_t> source = text_pattern(6 * MiB, 3);
    std::fill(source.begin() + 2 * MiB, source.begin() + 3 * MiB, 0); // a hole
    write_file(raw, source);
    sh("qemu-img convert -q -c -O qcow2 -o compat=" + std::string(p.compat) +
       ",cluster_size=" + std::to_string(p.cluster_size) + " " + quote(raw) + " " + quote(image));
    expect_reads_like_qemu(image, p.cluster_size <= 64 * KiB);

    OpenImage img(image);
    ASSERT_EQ(img.result, 0) << img.text();
    uint64_t cluster = 4 * MiB / p.cluster_size;
    ASSERT_EQ(decode_l2_entry(img.q, raw_l2_entry(img.q, cluster * p.cluster_size)).kind,
              ClusterKind::compressed);
    // 512 bytes from the middle of a compressed cluster.
    uint64_t at = cluster * p.cluster_size + p.cluster_size / 2 + 1000;
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(qcow2_read(img.q, buf.data(), buf.size(), at, &img.error), 512) << img.text();
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), source.begin() + at));
}

INSTANTIATE_TEST_SUITE_P(VersionsAndClusterSizes, Qcow2ReadCompressed,
                         ::testing::Values(Layout{"0.10", 64 * KiB}, Layout{"1.1", 64 * KiB},
                                           Layout{"1.1", 2 * MiB}),
                         [](const auto &info) {
                             return std::string(info.param.compat[0] == '0' ? "v2_" : "v3_") +
                                    std::to_string(info.param.cluster_size / KiB) + "k";
                         });

TEST_F(Qcow2Read, DamagedCompressedClustersFailTheRead) {
    std::string raw = dir.file("source.raw"), image = dir.file("compressed.qcow2");
    write_file(raw, text_pattern(MiB, 5));
    sh("qemu-img convert -q -c -O qcow2 " + quote(raw) + " " + quote(image));
    uint64_t last = MiB - 64 * KiB;
    ClusterMapping first, tail;
    {
        OpenImage img(image);
        ASSERT_EQ(img.result, 0);
        first = decode_l2_entry(img.q, raw_l2_entry(img.q, 0));
        tail = decode_l2_entry(img.q, raw_l2_entry(img.q, last));
        ASSERT_EQ(first.kind, ClusterKind::compressed);
        ASSERT_EQ(tail.kind, ClusterKind::compressed);
    }
    std::vector<uint8_t> buf(512);
    // Garbage where the deflate stream should be.
    patch_bytes(image, first.host_offset, std::vector<uint8_t>(64, 0xFF));
    {
        OpenImage img(image);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), 4096, &img.error), -1);
        EXPECT_EQ(img.text(), "unable to read compressed data:data error.");
    }
    // A valid stream that ends after 16 bytes: the rest of the cluster was
    // never produced and must not be handed out.
    {
        OpenImage img(image);
        ClusterMapping second = decode_l2_entry(img.q, raw_l2_entry(img.q, 64 * KiB));
        ASSERT_EQ(second.kind, ClusterKind::compressed);
        // A final stored deflate block of 16 bytes: header, LEN, ~LEN, data.
        std::vector<uint8_t> stored(5 + 16, 0x61);
        const uint8_t block_header[] = {0x01, 16, 0, 0xEF, 0xFF};
        std::copy(std::begin(block_header), std::end(block_header), stored.begin());
        patch_bytes(image, second.host_offset, stored);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), 64 * KiB, &img.error), -1);
        EXPECT_EQ(img.text(), "unable to read compressed data:cluster is incomplete.");
    }
    // The last cluster's stream cut short by the end of the file: never a
    // partly inflated cluster reported as data.
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    ASSERT_LE(tail.host_offset + 200, static_cast<uint64_t>(st.st_size));
    ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(tail.host_offset + 200)), 0);
    {
        OpenImage img(image);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), last, &img.error), -1);
        EXPECT_EQ(img.text(), "unable to read compressed data:data is truncated.");
    }
    ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(tail.host_offset)), 0);
    {
        OpenImage img(image);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), last, &img.error), -1);
        EXPECT_EQ(img.text(), "read failed");
    }
}

TEST_F(Qcow2Read, DecompressRefusalsAndOutcomes) {
    char *error = nullptr;
    uint8_t in[16] = {}, out[16];
    size_t size = sizeof out;
    EXPECT_EQ(qcow2_decompress(nullptr, 1, out, &size, &error), -1);
    EXPECT_STREQ(error, "invalid compressed data buffer.");
    EXPECT_EQ(qcow2_decompress(in, 1, nullptr, &size, &error), -1);
    EXPECT_STREQ(error, "invalid uncompressed data buffer.");
    EXPECT_EQ(qcow2_decompress(in, 1, in, &size, &error), -1);
    EXPECT_STREQ(error, "invalid compressed data buffer equals uncompressed data buffer.");
    size = 1ULL << 32;
    EXPECT_EQ(qcow2_decompress(in, 1, out, &size, &error), -1);
    EXPECT_STREQ(error, "invalid uncompressed data size value exceeds maximum.");
    // A stored (uncompressed) deflate block of 16 bytes into a 16-byte room,
    // into an 8-byte room (full: success, size doubled), and cut short.
    std::vector<uint8_t> block = {0x01, 16, 0, 0xEF, 0xFF};
    for (int i = 0; i < 16; ++i) block.push_back(static_cast<uint8_t>(i));
    size = 16;
    ASSERT_EQ(qcow2_decompress(block.data(), block.size(), out, &size, &error), 0);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(out[15], 15);
    size = 8;
    EXPECT_EQ(qcow2_decompress(block.data(), block.size(), out, &size, &error), 0);
    EXPECT_STREQ(error, "unable to read compressed data:target buffer too small.");
    EXPECT_EQ(size, 16u);
    size = 16;
    EXPECT_EQ(qcow2_decompress(block.data(), 12, out, &size, &error), -1);
    EXPECT_STREQ(error, "unable to read compressed data:data is truncated.");
    EXPECT_EQ(size, 0u);
}

// Zero-flag clusters: with an offset (zero write on allocated data) and
// without (unmapped zero write, discard, zero write over the backing file).
TEST_F(Qcow2Read, ZeroFlagClustersReadAsZeros) {
    std::string raw = dir.file("base.raw"), base = dir.file("base.qcow2"), top = dir.file("top.qcow2");
    write_file(raw, pattern(2 * MiB, 11));
    sh("qemu-img convert -q -O qcow2 " + quote(raw) + " " + quote(base));
    sh("qemu-img create -q -f qcow2 -b " + quote(base) + " -F qcow2 " + quote(top));
    qemu_io(top, write_from(data, 0, 512 * KiB) + " -c 'write -q -z 0 64k' -c 'write -q -z -u 64k 64k'" +
                     " -c 'write -q -z 1M 128k' -c 'discard -q 256k 64k'");
    qemu_io(base, " -c 'write -q -z 1536k 64k'");
    {
        OpenImage img(top);
        ASSERT_EQ(img.result, 0);
        uint64_t kept = raw_l2_entry(img.q, 0);
        EXPECT_EQ(decode_l2_entry(img.q, kept).kind, ClusterKind::zero);
        EXPECT_NE(kept & kOffsetMask, 0u) << "zero write over data should keep the cluster";
        EXPECT_EQ(decode_l2_entry(img.q, raw_l2_entry(img.q, MiB)).kind, ClusterKind::zero);
        EXPECT_EQ(raw_l2_entry(img.q, MiB) & kOffsetMask, 0u);
        OpenImage b(base);
        EXPECT_NE(raw_l2_entry(b.q, 1536 * KiB) & kOffsetMask, 0u);
    }
    expect_reads_like_qemu(top);
    expect_reads_like_qemu(base);
}

// base (v3, 64 KiB, 3 MiB) <- mid (v2, 128 KiB, 5 MiB, relative name)
// <- top (v3, 2 MiB, 8 MiB, absolute or relative name), read from the
// images' directory and from elsewhere.
TEST_F(Qcow2Read, ThreeImageChainsWithAbsoluteAndRelativeNames) {
    std::filesystem::create_directories(dir.file("images/top"));
    std::string base = dir.file("images/base.qcow2"), mid = dir.file("images/mid.qcow2");
    sh("qemu-img create -q -f qcow2 " + quote(base) + " 3M");
    qemu_io(base, write_from(data, 0, 3 * MiB));
    sh("cd " + quote(dir.file("images")) + " && qemu-img create -q -f qcow2 -o compat=0.10,cluster_size=128k" +
       " -b base.qcow2 -F qcow2 mid.qcow2 5M");
    qemu_io(mid, write_from(data, MiB + 512, 128 * KiB) + write_from(data, 4 * MiB, 512 * KiB) +
                     " -c 'write -q -P 0x3c 2M 4k'");
    for (bool absolute : {true, false}) {
        std::string top = dir.file("images/top/top.qcow2");
        ::unlink(top.c_str());
        sh("cd " + quote(dir.file("images/top")) + " && qemu-img create -q -f qcow2 -o cluster_size=2M -b " +
           (absolute ? quote(mid) : std::string("../mid.qcow2")) + " -F qcow2 top.qcow2 8M");
        qemu_io(top, " -c 'write -q -P 0x77 2M 8k'" + write_from(data, 6 * MiB, 64 * KiB));
        expect_reads_like_qemu(top);

        // From another working directory (and with a decoy of the same
        // relative name there): the names belong to the images' directories.
        int before = open_descriptors();
        std::string cwd = std::filesystem::current_path();
        std::filesystem::create_directories(dir.file("elsewhere"));
        sh("qemu-img create -q -f qcow2 " + quote(dir.file("elsewhere/base.qcow2")) + " 3M");
        ASSERT_EQ(chdir(dir.file("elsewhere").c_str()), 0);
        std::vector<uint8_t> want = qemu_raw(top);
        {
            OpenImage img(top);
            ASSERT_EQ(img.result, 0);
            EXPECT_EQ(first_difference(engine_raw(img.q, 3 * MiB), want), -1) << "absolute " << absolute;
        }
        ASSERT_EQ(chdir(cwd.c_str()), 0);
        EXPECT_EQ(open_descriptors(), before) << "backing images must be closed after the call";
    }
}

TEST_F(Qcow2Read, RelativeNameFallsBackToTheWorkingDirectory) {
    std::filesystem::create_directories(dir.file("work"));
    std::filesystem::create_directories(dir.file("images"));
    std::string top = dir.file("images/top.qcow2");
    sh("qemu-img create -q -f qcow2 " + quote(dir.file("work/only-here.qcow2")) + " 1M");
    qemu_io(dir.file("work/only-here.qcow2"), " -c 'write -q -P 0x42 0 64k'");
    sh("qemu-img create -q -f qcow2 -u -b only-here.qcow2 -F qcow2 " + quote(top) + " 1M");
    std::string cwd = std::filesystem::current_path();
    uint8_t buf[512];
    {
        ASSERT_EQ(chdir(dir.file("work").c_str()), 0);
        OpenImage img(top);
        ASSERT_EQ(img.result, 0);
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), 512) << img.text();
        EXPECT_EQ(buf[511], 0x42);
    }
    {
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        OpenImage img(top);
        ASSERT_EQ(img.result, 0);
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), -1);
        EXPECT_EQ(img.text(), "open file failed");
    }
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(Qcow2Read, ChainThatNamesItselfFails) {
    std::string image = dir.file("loop.qcow2");
    sh("qemu-img create -q -f qcow2 -u -b loop.qcow2 -F qcow2 " + quote(image) + " 1M");
    OpenImage img(image);
    ASSERT_EQ(img.result, 0);
    uint8_t buf[512];
    EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), -1);
    EXPECT_EQ(img.text(), "backing file chain is too long");
}

// A data cluster cut by the end of the file reads as zeros past it; one
// that lies wholly past the end fails instead of returning a short count.
TEST_F(Qcow2Read, DataClustersPastTheEndOfTheFile) {
    std::string raw = dir.file("source.raw"), image = dir.file("disk.qcow2");
    std::vector<uint8_t> source = pattern(MiB, 13);
    write_file(raw, source);
    sh("qemu-img convert -q -O qcow2 " + quote(raw) + " " + quote(image));
    uint64_t last_guest = 0, last_host = 0;
    {
        OpenImage img(image);
        for (uint64_t g = 0; g < MiB; g += 64 * KiB) {
            ClusterMapping m = decode_l2_entry(img.q, raw_l2_entry(img.q, g));
            ASSERT_EQ(m.kind, ClusterKind::standard);
            if (m.host_offset > last_host) last_host = m.host_offset, last_guest = g;
        }
    }
    ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(last_host + 1000)), 0);
    std::vector<uint8_t> want(source);
    std::fill(want.begin() + last_guest + 1000, want.begin() + last_guest + 64 * KiB, 0);
    {
        OpenImage img(image);
        EXPECT_EQ(first_difference(engine_raw(img.q, MiB), want), -1);
        EXPECT_EQ(first_difference(engine_raw(img.q, 4 * KiB), want), -1);
    }
    ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(last_host)), 0);
    OpenImage img(image);
    std::vector<uint8_t> buf(MiB);
    EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), 0, &img.error), -1);
    EXPECT_EQ(img.text(), "read failed");
}

} // namespace
