// Shared by the bitmap tests: a volume opened through the public API, its
// ".b" file, and the allocation qemu-img map reports for the same image.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "oruDiskLib.h"
#include "support/test_support.h"

namespace oru::test {

// A local volume opened read-only on its own handle, closed at the end.
class OpenVolume {
  public:
    OpenVolume(const std::string &path, int format) : path_(path) {
        volume_.diskPath = path_.data();
        volume_.diskFormat = format;
        EXPECT_EQ(oruDiskLib_Init(&handle_), ORU_OK);
        status_ = oruDiskLib_Open(&volume_, ORU_RO, nullptr, false, handle_, nullptr);
    }
    ~OpenVolume() {
        if (status_ == ORU_OK) oruDiskLib_Close(handle_, &volume_);
        oruDiskLib_Finalize(&handle_);
    }
    OpenVolume(const OpenVolume &) = delete;
    OpenVolume &operator=(const OpenVolume &) = delete;

    oruError status() const { return status_; }
    oruError query() { return oruDiskLib_QueryAllocatedClusters(handle_, &volume_); }
    std::string bitmap() const {
        auto bytes = read_file(path_ + ".b");
        return {bytes.begin(), bytes.end()};
    }

  private:
    std::string path_;
    oruDiskLibVolume volume_{};
    oruDiskLibHandle handle_ = nullptr;
    oruError status_ = ORU_E_PARAMS;
};

// Runs a command and fails the test when it does not succeed.
inline void must_run(const std::string &command) {
    CommandResult r = run(command, true);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out;
}

// One character per cluster of a disk of virtual size bytes: "1" where
// qemu-img map reports any layer of the chain as holding the bytes.
inline std::string qemu_allocation(const std::string &image, uint64_t size, uint64_t cluster) {
    CommandResult r = run("qemu-img map -U --output=json -f qcow2 " + quote(image));
    EXPECT_EQ(r.status, 0) << r.out;
    std::string bits(size / cluster + (size % cluster != 0), '0');
    for (const auto &extent : nlohmann::json::parse(r.out)) {
        if (!extent.value("present", false)) continue;
        const uint64_t start = extent["start"], length = extent["length"];
        if (length == 0) continue;
        for (uint64_t c = start / cluster; c <= (start + length - 1) / cluster; ++c)
            bits[c] = '1';
    }
    return bits;
}

inline std::string qcow2_header(uint64_t size, uint64_t cluster) {
    return "size is :" + std::to_string(size) + "\ncluster_size is :" + std::to_string(cluster) +
           "\nbitmaps:";
}

} // namespace oru::test
