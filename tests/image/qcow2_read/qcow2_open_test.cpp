// Opening qcow2 images: header refusals with their texts, derived geometry,
// hostile headers, tables that reach past the end of the file, and the
// mapped-cluster cache.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/qcow2_internal.h"
#include "qcow2_fixture.h"

using namespace oru::test;
using namespace oru::qcow2_engine;

namespace {

class Qcow2Open : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        image = dir.file("disk.qcow2");
        sh("qemu-img create -q -f qcow2 " + quote(image) + " 16M");
    }
    // Opens the (patched) image and returns the refusal text ("" on success).
    std::string refusal() {
        OpenImage img(image);
        if (img.result == 0) return "";
        EXPECT_EQ(img.q, nullptr);
        return img.text();
    }
    TempDir dir;
    std::string image;
};

TEST_F(Qcow2Open, HeaderRefusalsCarryTheirTexts) {
    struct Case {
        uint64_t offset;
        std::vector<uint8_t> bytes;
        const char *text;
    };
    const std::vector<Case> cases = {
        {0, {0x51, 0x46, 0x49, 0xFA}, "The image is not qcow"},
        {4, {0, 0, 0, 1}, "qcow version is too old\n"},
        {32, {0, 0, 0, 1}, "The image is encryptd,not support now"},
        {72 + 7, {0x02}, "data corrupt"},
        {72 + 7, {0x03}, "data corrupt"},                                      // dirty + corrupt
        {72 + 7, {0x04}, "qcow image uses an unsupported incompatible feature"}, // external data file
        {72 + 7, {0x10}, "qcow image uses an unsupported incompatible feature"}, // extended L2 entries
        {72, {0x80}, "qcow image uses an unsupported incompatible feature"},     // a future bit
        {20, {0, 0, 0, 22}, "qcow cluster size is not supported"},
        {20, {0, 0, 0, 8}, "qcow cluster size is not supported"},
        {20, {0xFF, 0xFF, 0xFF, 0xFF}, "qcow cluster size is not supported"},
        {40, {0, 0, 0, 0, 0, 3, 0, 1}, "qcow L1 table is corrupted"},         // not page aligned
        {40, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, "qcow L1 table is corrupted"}, // overflows
        {48, {0, 0, 0, 0, 0, 1, 0, 8}, "qcow refcount_table is corrupted"},
        {56, {0, 0, 0, 0}, "qcow refcount_table is corrupted"},
    };
    const std::vector<uint8_t> pristine = read_file(image);
    for (const Case &c : cases) {
        write_file(image, pristine);
        patch_bytes(image, c.offset, c.bytes);
        EXPECT_EQ(refusal(), c.text) << "patch at " << c.offset;
    }
    // Dirty alone, and the compression-type bit with zlib, still open.
    write_file(image, pristine);
    patch_bytes(image, 72 + 7, {0x01});
    EXPECT_EQ(refusal(), "");
    patch_bytes(image, 72 + 7, {0x08});
    EXPECT_EQ(refusal(), "");
    patch_bytes(image, 104, {0x01});
    EXPECT_EQ(refusal(), "only support zlib compress now");
}

TEST_F(Qcow2Open, ShortFilesAndBadArguments) {
    int before = open_descriptors();
    std::vector<uint8_t> bytes = read_file(image);
    bytes.resize(104);
    write_file(image, bytes);
    EXPECT_EQ(refusal(), "header is too short");
    for (int flag : {0, 4, -1}) {
        OpenImage img(image, flag);
        EXPECT_EQ(img.result, -1);
        EXPECT_EQ(img.text(), "flag not define");
    }
    OpenImage missing(dir.file("absent.qcow2"));
    EXPECT_EQ(missing.text(), "open file failed");
    EXPECT_EQ(open_descriptors(), before) << "a failed open left a descriptor behind";
}

TEST_F(Qcow2Open, VersionTwoIgnoresBytesAfterItsHeader) {
    // A version 2 header ends at byte 72; what follows (header extensions)
    // must not be taken for feature bits or a compression type.
    sh("qemu-img create -q -f qcow2 -o compat=0.10 " + quote(image) + " 16M");
    patch_bytes(image, 72, std::vector<uint8_t>(33, 0xFF));
    EXPECT_EQ(refusal(), "");
    OpenImage img(image);
    EXPECT_EQ(img.q->refcount_order, 4u);
}

TEST_F(Qcow2Open, GeometryFollowsTheClusterSize) {
    struct Case {
        uint32_t cluster_size, l1_shift, l2_shift, l2_amask;
    };
    for (Case c : {Case{65536, 29, 16, 8191}, Case{131072, 31, 17, 16383}, Case{2097152, 39, 21, 262143}}) {
        sh("qemu-img create -q -f qcow2 -o cluster_size=" + std::to_string(c.cluster_size) + " " +
           quote(image) + " 10G");
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        EXPECT_EQ(img.q->cluster_size, c.cluster_size);
        EXPECT_EQ(img.q->l1_shift, c.l1_shift);
        EXPECT_EQ(img.q->l2_shift, c.l2_shift);
        EXPECT_EQ(img.q->l2_amask, c.l2_amask);
        EXPECT_EQ(img.q->size, 10ULL << 30);
        EXPECT_EQ(img.q->flag, ORU_RO);
        EXPECT_EQ(img.q->backing_file[0], '\0');
        EXPECT_EQ(img.q->refcount_table_clusters, 0u);
        EXPECT_EQ(img.q->refcount_table_size % c.cluster_size, 0u);
        EXPECT_EQ(img.q->l1_table_size, ((10ULL << 30) + (1ULL << c.l1_shift) - 1) >> c.l1_shift << 3);
    }
}

TEST_F(Qcow2Open, EmptyDiskOpensWithoutAnL1Table) {
    sh("qemu-img create -q -f qcow2 " + quote(image) + " 0");
    OpenImage img(image);
    ASSERT_EQ(img.result, 0) << img.text();
    EXPECT_EQ(img.q->l1_table_size, 0u);
    uint8_t buf[512];
    EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), 0);
}

TEST_F(Qcow2Open, ClustersBelowThePageSizeAreRefused) {
    long page = sysconf(_SC_PAGESIZE);
    for (int size = 512; size < page; size *= 2) {
        for (const char *compat : {"0.10", "1.1"}) {
            sh("qemu-img create -q -f qcow2 -o compat=" + std::string(compat) +
               ",cluster_size=" + std::to_string(size) + " " + quote(image) + " 1M");
            EXPECT_EQ(refusal(), "qcow header mmap failed") << size;
        }
    }
}

TEST_F(Qcow2Open, BackingNameIsReadExactly) {
    std::string name(40, 'b');
    sh("qemu-img create -q -f qcow2 -u -b " + name + " -F qcow2 " + quote(image) + " 1M");
    {
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        EXPECT_EQ(std::string(img.q->backing_file), name);
    }
    // The longest name that fits the record, and one byte more.
    std::string longest(1023, 'c');
    sh("qemu-img create -q -f qcow2 -u -b " + longest + " -F qcow2 " + quote(image) + " 1M");
    {
        OpenImage fits(image);
        ASSERT_EQ(fits.result, 0) << fits.text();
        EXPECT_EQ(std::string(fits.q->backing_file), longest);
    }
    patch_be32(image, 16, 1024);
    EXPECT_EQ(refusal(), "qcow backing file name is too long");
}

TEST_F(Qcow2Open, WriteOnlyOpensForReadingTheMetadata) {
    OpenImage img(image, ORU_WO);
    ASSERT_EQ(img.result, 0) << img.text();
    EXPECT_EQ(img.q->flag, ORU_WO);
    uint8_t buf[512];
    EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), 512);
}

TEST_F(Qcow2Open, CloseReleasesEverythingAndClearsThePointer) {
    int before = open_descriptors();
    qcow2 *q = nullptr;
    char *error = nullptr;
    ASSERT_EQ(qcow2_open(image.data(), &q, ORU_RW, &error), 0) << error;
    ASSERT_NE(load_cluster(q, 65536, 0), nullptr);
    EXPECT_EQ(open_descriptors(), before + 1);
    qcow2_close(&q);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(qcow2_close(&q), 0);
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(Qcow2Open, LoadClusterCachesOneMappingPerSlot) {
    OpenImage img(image);
    ASSERT_EQ(img.result, 0);
    errno = 0;
    EXPECT_EQ(load_cluster(img.q, 0, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    const void *first = load_cluster(img.q, 65536, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(load_cluster(img.q, 65536, 0), first);
    EXPECT_EQ(img.q->cluster[0].offset, 65536u);
    // The refcount table really is what the slot shows.
    EXPECT_EQ(be64tohp(first), 131072u);
    EXPECT_NE(load_cluster(img.q, 131072, 0), nullptr);
    EXPECT_EQ(img.q->cluster[0].offset, 131072u);
    // A cluster past the end of the file is refused, not mapped to fault later.
    EXPECT_EQ(load_cluster(img.q, 1ULL << 30, 0), nullptr);
    EXPECT_EQ(img.q->cluster[0].offset, 131072u);
    EXPECT_EQ(load_cluster(img.q, 65536, 2), nullptr);
}

TEST_F(Qcow2Open, ByteOrderHelpers) {
    const uint8_t bytes[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(be32tohp(bytes + 1), 0x01020304u);
    EXPECT_EQ(htobe32p(bytes + 1), 0x01020304u);
    EXPECT_EQ(be64tohp(bytes + 1), 0x0102030405060708ULL);
    uint8_t out[9] = {};
    EXPECT_EQ(htobe64p(0x1122334455667788ULL, out + 1), 0);
    EXPECT_EQ(be64tohp(out + 1), 0x1122334455667788ULL);
    EXPECT_EQ(out[1], 0x11);
}

// A 1 TiB image that ends 16 bytes into its L1 table, as freshly created
// images of this library do: entries past the end read as 0 without a
// fault and become writable once the file has grown over them.
TEST_F(Qcow2Open, L1EntriesPastTheEndOfTheFile) {
    sh("qemu-img create -q -f qcow2 " + quote(image) + " 1T");
    ASSERT_EQ(truncate(image.c_str(), 3 * 65536 + 16), 0);
    {
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        std::vector<uint8_t> buf(1 << 20, 0xEE);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), 900ULL << 30, &img.error), 1 << 20);
        EXPECT_EQ(first_difference(buf, std::vector<uint8_t>(buf.size(), 0)), -1);
        EXPECT_EQ(qcow2_read(img.q, buf.data(), 4096, (1ULL << 40) - 4096, &img.error), 4096);
    }
    OpenImage img(image, ORU_RW);
    ASSERT_EQ(img.result, 0) << img.text();
    uint64_t index = 1800; // 900 GiB with 64 KiB clusters
    EXPECT_EQ(l1_entry(img.q, index), 0u);
    EXPECT_EQ(store_l1_entry(img.q, index, kFlagCopied | (4 * 65536)), -1);
    EXPECT_EQ(store_l1_entry(img.q, 2, kFlagCopied | (4 * 65536)), -1) << "entry 2 lies past the file";
    EXPECT_EQ(store_l1_entry(img.q, 1, 0), 0) << "entry 1 is inside the file";
    EXPECT_EQ(getfilesize(img.q), 3 * 65536 + 16);
    // Growing to n clusters gives back the offset of the last one; the
    // engine never shrinks a file.
    EXPECT_EQ(add_cluster(img.q, 5), 4u * 65536);
    EXPECT_EQ(getfilesize(img.q), 5 * 65536);
    EXPECT_EQ(add_cluster(img.q, 4), 0u);
    EXPECT_EQ(getfilesize(img.q), 5 * 65536);
    EXPECT_EQ(store_l1_entry(img.q, index, kFlagCopied | (4 * 65536)), 0);
    EXPECT_EQ(l1_entry(img.q, index), kFlagCopied | (4 * 65536));
    EXPECT_EQ(store_l1_entry(img.q, 2048, 1), -1) << "past l1_size";
    EXPECT_EQ(refcount_table_entry(img.q, 0), 2u * 65536);
    // The stored entry is in the file, where qemu-img sees it.
    std::vector<uint8_t> bytes = read_file(image);
    EXPECT_EQ(be64tohp(bytes.data() + 3 * 65536 + index * 8), kFlagCopied | (4 * 65536));
    // The new L2 table is all zeros: the range still reads as zeros.
    std::vector<uint8_t> buf(65536, 0xEE);
    EXPECT_EQ(qcow2_read(img.q, buf.data(), buf.size(), 900ULL << 30, &img.error), 65536);
    EXPECT_EQ(first_difference(buf, std::vector<uint8_t>(buf.size(), 0)), -1);
}

TEST_F(Qcow2Open, HostileTablesDoNotCrash) {
    sh("qemu-io -f qcow2 -c 'write -P 0x5a 0 128k' " + quote(image) + " >/dev/null");
    const std::vector<uint8_t> pristine = read_file(image);
    uint8_t buf[4096];
    {
        // L2 table far past the end of the file.
        patch_be64(image, 3 * 65536, kFlagCopied | (1ULL << 40));
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), -1);
        EXPECT_EQ(img.text(), "load l2_table failed");
    }
    {
        // L1 table past the end of the file, and an L1 size far beyond the
        // virtual size: everything reads as unallocated.
        write_file(image, pristine);
        patch_be64(image, 40, 1ULL << 40);
        patch_be32(image, 36, 0xFFFFFFFF);
        patch_be64(image, 24, UINT64_MAX);
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), 4096);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, UINT64_MAX - 100, &img.error), 100);
    }
    {
        // An L1 table shorter than the virtual disk: past it is unallocated.
        write_file(image, pristine);
        patch_be32(image, 36, 0);
        OpenImage img(image);
        ASSERT_EQ(img.result, 0) << img.text();
        EXPECT_EQ(img.q->l1_table, nullptr);
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        EXPECT_EQ(qcow2_read(img.q, buf, sizeof buf, 0, &img.error), 4096);
        EXPECT_EQ(buf[4095], 0);
    }
    {
        // A huge refcount table: refused or mapped, never a crash.
        write_file(image, pristine);
        patch_be32(image, 56, 0xFFFFFFFF);
        OpenImage img(image);
        if (img.result != 0) EXPECT_EQ(img.text(), "qcow refcount_table is corrupted");
        else EXPECT_EQ(refcount_table_entry(img.q, 1ULL << 30), 0u);
    }
}

} // namespace
