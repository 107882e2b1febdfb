// Shared by the qcow2 open and read tests: images made by qemu-img / qemu-io
// at test time, the qemu-img reading of an image as the oracle, and header
// patching for hostile-image cases.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qcow2.h"
#include "support/test_support.h"

namespace oru::test {

// Runs a shell command; throws (failing the test) when it exits non-zero.
std::string sh(const std::string &command);

// An image opened through the engine, closed when the object dies.
struct OpenImage {
    qcow2 *q = nullptr;
    char *error = nullptr;
    int result = -1;
    OpenImage(const std::string &path, int flag = ORU_RO);
    ~OpenImage() { qcow2_close(&q); }
    OpenImage(const OpenImage &) = delete;
    OpenImage &operator=(const OpenImage &) = delete;
    std::string text() const { return error ? error : ""; }

  private:
    std::string path_; // the record refers to it
};

// Guest bytes of the image as `qemu-img convert -O raw` produces them.
std::vector<uint8_t> qemu_raw(const std::string &image);

// Whole guest disk read through qcow2_read in pieces of `chunk` bytes.
// Fails the test on a short or failed read.
std::vector<uint8_t> engine_raw(qcow2 *q, size_t chunk);

// Index of the first differing byte, or -1 when equal (sizes included).
int64_t first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

// Compressible data that still differs at every 16-byte step.
std::vector<uint8_t> text_pattern(size_t length, uint64_t seed);

// Big-endian header patching.
void patch_be32(const std::string &path, uint64_t offset, uint32_t value);
void patch_be64(const std::string &path, uint64_t offset, uint64_t value);
void patch_bytes(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes);

// Raw L2 entry (host order) of the guest cluster holding guest_offset; 0
// when its L1 entry has no table.
uint64_t raw_l2_entry(qcow2 *q, uint64_t guest_offset);

// Number of open descriptors of this process.
int open_descriptors();

} // namespace oru::test
