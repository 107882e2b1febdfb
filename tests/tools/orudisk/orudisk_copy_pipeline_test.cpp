// orudisk copy moves data with threads reading while another writes in
// volume order, through a handful of buffers of a few MiB taken in turn.
// Volumes here are far larger than those buffers together, so each is used
// many times; qemu-img is the oracle.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_support.h"

using oru::test::quote;
using oru::test::run;
using oru::test::run_ok;
using oru::test::TempDir;

namespace {

constexpr uint64_t kMiB = 1 << 20;

std::string orudisk() {
    const char *dir = std::getenv("ORU_BINARY_DIR");
    return quote(std::string(dir ? dir : ".") + "/tools/orudisk/orudisk");
}

uint64_t allocated_bytes(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

} // namespace

// Data straddling buffer boundaries, zero stretches between, a stretch of
// data many buffers long: the copy reads only the data extents, as qemu
// reads the image, and the stretches of zeros stay holes in the raw file.
TEST(CopyPipeline, ManyBuffersGiveTheSameBytesAndLeaveZerosAsHoles) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    std::string image = dir.file("source.qcow2"), raw = dir.file("copy.raw"), qcow = dir.file("copy.qcow2");
    run_ok("qemu-img create -q -f qcow2 " + quote(image) + " 200M");
    run_ok("qemu-io -c 'write -P 0x21 0 1M' -c 'write -P 0x42 31M 2M' -c 'write -z 40M 8M' "
       "-c 'write -P 0x63 95M 24M' -c 'write -P 0x84 150M 64K' -c 'write -P 0xa5 199M 1M' " +
       quote(image));

    auto r = run(orudisk() + " --json copy " + quote(image) + " -o " + quote(raw));
    ASSERT_EQ(r.status, 0) << r.out;
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["bytes_read"].get<uint64_t>(), 28 * kMiB + 64 * 1024);
    EXPECT_EQ(doc["extents"].get<uint64_t>(), 5u);
    EXPECT_EQ(doc["bytes_written"].get<uint64_t>(), 28 * kMiB + 64 * 1024);
    EXPECT_EQ(run("qemu-img compare -q -f qcow2 -F raw " + quote(image) + " " + quote(raw)).status, 0);
    EXPECT_LT(allocated_bytes(raw), 40 * kMiB); // 28 MiB of data, the rest holes

    ASSERT_EQ(run(orudisk() + " copy " + quote(image) + " -o " + quote(qcow) + " --target-format qcow2").status,
              0);
    EXPECT_EQ(run("qemu-img compare -q " + quote(image) + " " + quote(qcow)).status, 0);
    EXPECT_EQ(run("qemu-img check -q " + quote(qcow)).status, 0);
}

// The reader fails after the writer has stored several buffers: the copy
// ends with the library's text for the failed read and leaves no file that
// could pass for a backup.
TEST(CopyPipeline, ReadFailurePartwayRemovesTheTarget) {
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    std::string image = dir.file("cut.qcow2"), raw = dir.file("copy.raw");
    run_ok("qemu-img create -q -f qcow2 " + quote(image) + " 200M");
    run_ok("qemu-io -c 'write -P 0x5a 0 200M' " + quote(image));
    // The clusters past 120 MiB of the file are gone: reading them fails.
    std::filesystem::resize_file(image, 120 * kMiB);

    auto r = run(orudisk() + " copy " + quote(image) + " -o " + quote(raw) + " 2>&1");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("reading"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ORU_E_QCOW_READ"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(raw));
}

// The writer fails (the file system fills up) while the readers are ahead
// of it: the copy ends with the library's text for the failed write and
// removes the half-written file.
TEST(CopyPipeline, WriteFailurePartwayRemovesTheTarget) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("unshare");
    ORU_REQUIRE_PROGRAM("qemu-img");
    ORU_REQUIRE_PROGRAM("qemu-io");
    TempDir dir;
    std::string image = dir.file("source.qcow2"), small = dir.file("small");
    run_ok("qemu-img create -q -f qcow2 " + quote(image) + " 100M");
    run_ok("qemu-io -c 'write -P 0x3c 0 100M' " + quote(image));
    std::filesystem::create_directory(small);
    // A 24 MiB file system of its own, seen by this command only.
    std::string target = small + "/copy.raw";
    auto r = run("unshare -m sh -c " +
                     quote("mount -t tmpfs -o size=24M none " + quote(small) + " && " + orudisk() + " copy " +
                           quote(image) + " -o " + quote(target) + "; echo status=$?; ls -A " + quote(small)),
                 true);
    EXPECT_NE(r.out.find("writing " + target), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ORU_E_RAW_WRITE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status=1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("copy.raw\n"), std::string::npos) << r.out; // gone from the file system
}
