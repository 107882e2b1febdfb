// orudisk end to end on local volumes, with qemu-img as the oracle: backups
// of a qcow2 chain read back as qemu reads the chain, bitmap-driven
// incremental backups restore to the same bytes, --json output parses, and
// failures name their cause and code.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "zero_map.h"

using oru::test::pattern;
using oru::test::qemu_map;
using oru::test::zero_map;
using oru::test::ZeroMap;
using oru::test::quote;
using oru::test::run;
using oru::test::run_ok;
using oru::test::TempDir;
using oru::test::write_file;

namespace {

constexpr uint64_t kMiB = 1 << 20;

std::string orudisk_binary() {
    const char *dir = std::getenv("ORU_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/tools/orudisk/orudisk";
}

// Runs orudisk with a shell-ready argument text; standard output only.
oru::test::CommandResult orudisk(const std::string &args) {
    return run(quote(orudisk_binary()) + " " + args + " 2>/dev/null");
}

nlohmann::json orudisk_json(const std::string &args) {
    auto r = orudisk("--json " + args);
    EXPECT_FALSE(r.out.empty()) << args;
    return nlohmann::json::parse(r.out); // throws, failing the test, if not JSON
}

std::string raw_of(const TempDir &dir, const std::string &image, const std::string &name) {
    std::string raw = dir.file(name);
    auto r = run("qemu-img convert -O raw " + quote(image) + " " + quote(raw), true);
    EXPECT_EQ(r.status, 0) << r.out;
    return raw;
}

// Byte for byte, files included in size (cmp is far quicker than reading
// 80 MiB into vectors under the sanitizers).
bool same_bytes(const std::string &a, const std::string &b) {
    return run("cmp -s " + quote(a) + " " + quote(b)).status == 0;
}

bool qemu_identical(const std::string &a, const std::string &b) {
    return run("qemu-img compare -q " + quote(a) + " " + quote(b)).status == 0;
}

ZeroMap orudisk_map(const std::string &image) {
    // `map --json`: the flag after the subcommand, as a user would type it.
    auto r = orudisk("map " + quote(image) + " --json");
    EXPECT_EQ(r.status, 0) << image;
    return zero_map(nlohmann::json::parse(r.out));
}

uint64_t allocated_bytes(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

// base (64 KiB clusters, a compressed cluster) <- mid (128 KiB clusters, a
// zeroed cluster over base data) <- top (larger than its backing files).
class QcowChain : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_PROGRAM("qemu-img");
        ORU_REQUIRE_PROGRAM("qemu-io");
        base_ = dir_.file("base.qcow2");
        mid_ = dir_.file("mid.qcow2");
        top_ = dir_.file("top.qcow2");
        run_ok("qemu-img create -q -f qcow2 -o cluster_size=65536 " + quote(base_) + " 64M");
        run_ok("qemu-io -c 'write -P 0x11 0 1M' -c 'write -P 0x22 10M 3M' -c 'write -c -P 0x44 40M 64K' " +
           quote(base_));
        run_ok("qemu-img create -q -f qcow2 -o cluster_size=131072 -b " + quote(base_) + " -F qcow2 " + quote(mid_));
        run_ok("qemu-io -c 'write -P 0x33 512K 1M' -c 'write -z 10M 128K' " + quote(mid_));
        run_ok("qemu-img create -q -f qcow2 -b " + quote(mid_) + " -F qcow2 " + quote(top_) + " 80M");
        run_ok("qemu-io -c 'write -P 0x55 70M 1M' -c 'write -P 0x66 12M 4K' " + quote(top_));
    }
    TempDir dir_;
    std::string base_, mid_, top_;
};

} // namespace

TEST_F(QcowChain, FullCopyReadsTheChainAsQemuDoes) {
    std::string expected = raw_of(dir_, top_, "expected.raw");
    std::string raw = dir_.file("full.raw"), qcow = dir_.file("full.qcow2");
    auto copy = orudisk_json("copy " + quote(top_) + " -o " + quote(raw));
    EXPECT_TRUE(same_bytes(raw, expected));
    ASSERT_EQ(orudisk("copy " + quote(top_) + " -o " + quote(qcow) + " --target-format qcow2").status, 0);
    EXPECT_EQ(run("qemu-img check -q " + quote(qcow)).status, 0);
    EXPECT_TRUE(qemu_identical(qcow, expected));

    // Only the data extents were read (about 6 MiB of the 80), and what reads
    // as zeros stayed a hole in the raw copy and unallocated in the qcow2
    // one: all three maps are the chain's as qemu sees it.
    EXPECT_EQ(copy["extents_known"], true);
    EXPECT_LT(copy["bytes_read"].get<uint64_t>(), 8 * kMiB);
    EXPECT_LT(allocated_bytes(raw), 8 * kMiB);
    ZeroMap chain = qemu_map(top_);
    EXPECT_GE(chain.size(), 6u);
    EXPECT_EQ(orudisk_map(top_), chain);
    EXPECT_EQ(qemu_map(qcow), chain);
    EXPECT_EQ(qemu_map(raw, "-f raw"), chain);

    // A copy never replaces an existing file unless told to.
    EXPECT_NE(orudisk("copy " + quote(top_) + " -o " + quote(raw)).status, 0);
    EXPECT_NE(orudisk("copy " + quote(top_) + " -o " + quote(top_) + " --force").status, 0);
    EXPECT_TRUE(qemu_identical(top_, expected));
}

TEST_F(QcowChain, IncrementalBackupRestoresToTheSameBytes) {
    // Full backup of the chain as it stands.
    std::string full = dir_.file("full.qcow2");
    ASSERT_EQ(orudisk("copy " + quote(top_) + " -o " + quote(full) + " --target-format qcow2").status, 0);
    // The guest goes on writing into a new overlay: new data, an overwrite
    // of backed-up data, and zeros over backed-up data.
    std::string next = dir_.file("next.qcow2");
    run_ok("qemu-img create -q -f qcow2 -b " + quote(top_) + " -F qcow2 " + quote(next));
    run_ok("qemu-io -c 'write -P 0x99 30M 256K' -c 'write -P 0xAA 0 64K' -c 'write -z 11M 64K' " + quote(next));
    std::string expected = raw_of(dir_, next, "expected.raw");

    std::string incremental = dir_.file("incremental.qcow2");
    auto copy = orudisk_json("copy --bitmap " + quote(next) + " -o " + quote(incremental) +
                             " --target-format qcow2 --backing " + quote(full));
    EXPECT_EQ(copy["mode"], "bitmap");
    EXPECT_LT(copy["bytes_read"].get<uint64_t>(), 80 * kMiB); // only allocated clusters
    EXPECT_LE(copy["bytes_written"].get<uint64_t>(), 384 * 1024u); // only what changed since the full one
    EXPECT_EQ(run("qemu-img check -q " + quote(incremental)).status, 0);
    EXPECT_TRUE(qemu_identical(incremental, expected));

    // A full copy over the same backup needs no bitmap: it visits the data
    // of either image, so the zeros written over backed-up data reach it.
    std::string over = dir_.file("over.qcow2");
    copy = orudisk_json("copy " + quote(next) + " -o " + quote(over) + " --target-format qcow2 --backing " +
                        quote(full));
    EXPECT_EQ(copy["mode"], "full");
    EXPECT_LE(copy["bytes_written"].get<uint64_t>(), 384 * 1024u);
    EXPECT_TRUE(qemu_identical(over, expected));
    // ... and never over the backup it stands on.
    EXPECT_NE(orudisk("copy " + quote(next) + " -o " + quote(full) + " --target-format qcow2 --force --backing " +
                      quote(full))
                  .status,
              0);
    EXPECT_EQ(run("qemu-img check -q " + quote(full)).status, 0);

    // Restore the incremental backup (over the full one) into a volume that
    // holds other data everywhere.
    std::string volume = dir_.file("volume.raw");
    write_file(volume, std::vector<uint8_t>(80 * kMiB, 0x77));
    ASSERT_EQ(orudisk("restore --from " + quote(incremental) + " " + quote(volume)).status, 0);
    EXPECT_TRUE(same_bytes(volume, expected));

    // restore --bitmap writes only what the image chain holds.
    write_file(volume, std::vector<uint8_t>(80 * kMiB, 0));
    ASSERT_EQ(orudisk("restore --bitmap --from " + quote(incremental) + " " + quote(volume)).status, 0);
    EXPECT_TRUE(same_bytes(volume, expected));
}

// A restore of the chain: into a volume holding old data everywhere, the
// backup's zeros are zeroed and its data written, nothing else; into a fresh
// thin volume, what reads as zeros there already is left alone, so the
// volume ends up allocated as the backup is.
TEST_F(QcowChain, RestoreOfTheChainZeroesOnlyWhatTheVolumeHolds) {
    std::string old = dir_.file("old.qcow2"), fresh = dir_.file("fresh.qcow2");
    run_ok("qemu-img create -q -f qcow2 " + quote(old) + " 80M && qemu-io -c 'write -P 0x77 0 80M' " + quote(old));
    run_ok("qemu-img create -q -f qcow2 " + quote(fresh) + " 80M");

    auto done = orudisk_json("restore --from " + quote(top_) + " " + quote(old));
    EXPECT_EQ(run("qemu-img check -q " + quote(old)).status, 0);
    EXPECT_TRUE(qemu_identical(old, top_));
    uint64_t written = done["bytes_written"], zeroed = done["bytes_zeroed"];
    EXPECT_LT(written, 8 * kMiB); // the chain's data, about 6 MiB
    EXPECT_EQ(written + zeroed, 80 * kMiB);

    done = orudisk_json("restore --from " + quote(top_) + " " + quote(fresh));
    EXPECT_EQ(done["bytes_zeroed"], 0);
    EXPECT_EQ(done["bytes_written"], written);
    EXPECT_EQ(run("qemu-img check -q " + quote(fresh)).status, 0);
    EXPECT_TRUE(qemu_identical(fresh, top_));
    EXPECT_EQ(qemu_map(fresh), qemu_map(top_));
    EXPECT_LT(allocated_bytes(fresh), 8 * kMiB);
}

TEST_F(QcowChain, JsonOutputParses) {
    auto info = orudisk_json("info " + quote(top_));
    EXPECT_EQ(info["format"], "qcow2");
    EXPECT_EQ(info["virtual_size"], 80 * kMiB);
    EXPECT_EQ(info["cluster_size"], 65536);
    ASSERT_EQ(info["backing_chain"].size(), 2u);
    EXPECT_EQ(info["backing_chain"][0]["path"], mid_);
    EXPECT_EQ(info["backing_chain"][1]["cluster_size"], 65536);
    EXPECT_EQ(info["backing_chain"][0]["cluster_size"], 131072);
    EXPECT_GT(info["allocation"]["share"].get<double>(), 0.0);
    EXPECT_FALSE(std::ifstream(top_ + ".b").good()); // info leaves no bitmap behind

    auto bitmap = orudisk_json("bitmap " + quote(top_));
    EXPECT_EQ(bitmap["bitmap_file"], top_ + ".b");
    EXPECT_EQ(bitmap["granules"], 80 * kMiB / 65536);
    EXPECT_EQ(bitmap["allocated"], info["allocation"]["allocated"]);
    EXPECT_TRUE(std::ifstream(top_ + ".b").good());

    std::string made = dir_.file("made.qcow2");
    auto create = orudisk_json("create " + quote(made) + " --size 1G --cluster-size 128K");
    EXPECT_EQ(create["virtual_size"], 1u << 30);
    EXPECT_EQ(create["cluster_size"], 131072);
    EXPECT_EQ(run("qemu-img check -q " + quote(made)).status, 0);

    // A failure the library reports carries its code, name and text.
    std::string broken = dir_.file("broken.qcow2");
    std::vector<uint8_t> header(512, 0);
    const uint8_t fields[] = {'Q', 'F', 'I', 0xfb, 0, 0, 0, 3};
    std::copy(std::begin(fields), std::end(fields), header.begin());
    header[23] = 16;                               // cluster_bits
    header[28] = 0x40;                             // size: 1 GiB
    header[39] = 2;                                // l1_size
    for (int i = 40; i < 48; ++i) header[i] = 0x7f; // l1_table_offset far past the end
    write_file(broken, header);
    auto r = orudisk("--json info " + quote(broken));
    EXPECT_NE(r.status, 0);
    auto error = nlohmann::json::parse(r.out);
    EXPECT_EQ(error["error"]["code"], 10);
    EXPECT_EQ(error["error"]["name"], "ORU_E_QCOW_OPEN");
    EXPECT_FALSE(error["error"]["text"].get<std::string>().empty());
}

// Failures found before, beside and by the library all print their cause and
// code name on standard error.
TEST(Failures, NameTheirCauseAndCode) {
    TempDir dir;
    std::string junk = dir.file("junk.qcow2");
    std::vector<uint8_t> header(512, 0);
    const uint8_t fields[] = {'Q', 'F', 'I', 0xfb, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x22, 0xf0, 0x3b, 0xc9};
    std::copy(std::begin(fields), std::end(fields), header.begin());
    write_file(junk, header);
    std::string plain = dir.file("plain.raw");
    write_file(plain, std::vector<uint8_t>(4096, 0));
    const std::string missing = dir.file("missing.qcow2");
    const std::pair<std::string, std::string> cases[] = {
        {"info " + quote(missing), "cannot open " + missing + ": No such file or directory (ORU_E_OPEN)"},
        {"map " + quote(dir.path()), ": Is a directory (ORU_E_OPEN)"},
        {"info " + quote(junk), "qcow cluster size is not supported (ORU_E_QCOW_OPEN)"},
        {"map " + quote(plain) + " --format qcow2", "is not a qcow2 image (ORU_E_FORMAT)"},
        {"create " + quote(dir.file("no/such/dir.qcow2")) + " --size 1M", "No such file or directory (ORU_E_FAIL)"},
        {"create " + quote(dir.file("x.qcow2")), "pass --size (or --backing to take the backing image's size) (ORU_E_PARAMS)"},
        {"copy " + quote(plain) + " -o " + quote(plain), "the target is the source volume itself (ORU_E_PARAMS)"},
        {"map --server 127.0.0.1 --uuid u --format raw --password-file " + quote(missing),
         "File does not exist: " + missing + " (ORU_E_PARAMS)"},
    };
    for (const auto &[args, expected] : cases) {
        auto r = run(quote(orudisk_binary()) + " " + args + " 2>&1 >/dev/null");
        EXPECT_NE(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("orudisk: ", 0), 0u) << args << "\n" << r.out;
        EXPECT_NE(r.out.find(expected), std::string::npos) << args << "\n" << r.out;
    }
    auto r = orudisk("--json info " + quote(missing));
    auto error = nlohmann::json::parse(r.out)["error"];
    EXPECT_EQ(error["name"], "ORU_E_OPEN");
    EXPECT_EQ(error["code"], 7);
}

TEST(RawVolumes, MapAndCopyFollowTheFilesHoles) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    std::string sparse = dir.file("sparse.raw"), copy = dir.file("copy.raw");
    run_ok("truncate -s 64M " + quote(sparse));
    for (int at : {0, 5, 17, 63})
        run_ok("dd if=/dev/urandom of=" + quote(sparse) + " bs=256K count=3 seek=" + std::to_string(at * 4) +
           " conv=notrunc status=none");
    ZeroMap holes = qemu_map(sparse);
    EXPECT_EQ(holes.size(), 8u);
    EXPECT_EQ(orudisk_map(sparse), holes);
    ASSERT_EQ(orudisk("copy " + quote(sparse) + " -o " + quote(copy)).status, 0);
    EXPECT_TRUE(same_bytes(copy, sparse));
    EXPECT_EQ(qemu_map(copy, "-f raw"), holes);
}

TEST(RawVolumes, OddSizedAndLuksVolumesCopyWhole) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    // A size that is no multiple of the sector: the tail must not gain or
    // lose a byte.
    std::string odd = dir.file("odd.raw"), odd_copy = dir.file("odd-copy.raw");
    write_file(odd, pattern(3 * kMiB + 1234, 5));
    ASSERT_EQ(orudisk("copy " + quote(odd) + " -o " + quote(odd_copy)).status, 0);
    EXPECT_TRUE(same_bytes(odd_copy, odd));
    // A LUKS volume's copy keeps its header region in place.
    std::string luks = dir.file("luks.img"), luks_copy = dir.file("luks-copy.img");
    write_file(luks, pattern(3 * kMiB, 6));
    ASSERT_EQ(orudisk("copy --format luks " + quote(luks) + " -o " + quote(luks_copy)).status, 0);
    EXPECT_TRUE(same_bytes(luks_copy, luks));
}
