// Shared by the extents tests: what the peers (qemu-img map, nbdinfo --map)
// say about a volume, turned into the sector extents the library must answer,
// and the library's own answer gathered through continuation calls.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "oruDiskLib.h"
#include "support/test_support.h"

namespace oru::test {

struct Extent {
    uint64_t start = 0;
    uint64_t count = 0;
    bool zero = false;
    bool operator==(const Extent &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Extent &e) {
    return os << (e.zero ? "zero" : "data") << "[" << e.start << "+" << e.count << "]";
}

// A byte run of a device as a peer reports it.
struct ByteRun {
    uint64_t start, length;
    bool zero;
};

// The sector extents a device described by `runs` must give, for the volume
// that starts at device byte `shift` and holds `volume_bytes` bytes: a sector
// is zero only when every byte of it lies in a zero run; everything else is
// data; neighbours of one kind are merged.
inline std::vector<Extent> expected_extents(const std::vector<ByteRun> &runs, uint64_t volume_bytes,
                                            uint64_t shift = 0) {
    // Zero byte ranges of the volume, neighbours joined.
    std::vector<std::pair<uint64_t, uint64_t>> zeros;
    for (const ByteRun &r : runs) {
        if (!r.zero || r.start + r.length <= shift) continue;
        uint64_t a = std::max(r.start, shift) - shift,
                 b = std::min(r.start + r.length - shift, volume_bytes);
        if (a >= b) continue;
        if (!zeros.empty() && zeros.back().second == a)
            zeros.back().second = b;
        else
            zeros.push_back({a, b});
    }
    std::vector<Extent> out;
    auto put = [&out](uint64_t from, uint64_t to, bool zero) {
        if (from >= to) return;
        if (!out.empty() && out.back().zero == zero)
            out.back().count += to - from;
        else
            out.push_back({from, to - from, zero});
    };
    uint64_t sector = 0;
    for (auto [a, b] : zeros) {
        uint64_t first = (a + 511) / 512, end = b / 512;
        if (first >= end) continue;
        put(sector, first, false);
        put(first, end, true);
        sector = end;
    }
    put(sector, (volume_bytes + 511) / 512, false);
    return out;
}

// qemu-img map's "data" field for an image: no data means reads give zeros.
inline std::vector<ByteRun> qemu_map(const std::string &image, const std::string &format) {
    CommandResult r = run("qemu-img map -U --output=json -f " + format + " " + quote(image));
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<ByteRun> runs;
    if (r.status != 0) return runs;
    for (const auto &e : nlohmann::json::parse(r.out))
        runs.push_back({e["start"], e["length"], !e.value("data", true)});
    return runs;
}

// nbdinfo --map of base:allocation: the zero bit (2) means reads give zeros.
inline std::vector<ByteRun> nbdinfo_map(const std::string &uri) {
    CommandResult r = run("nbdinfo --map --json " + quote(uri));
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<ByteRun> runs;
    if (r.status != 0) return runs;
    for (const auto &e : nlohmann::json::parse(r.out)) {
        const uint32_t type = e["type"];
        runs.push_back({e["offset"], e["length"], (type & 2) != 0});
    }
    return runs;
}

// The whole volume's extents, asked in calls of at most max_extents each;
// each call must continue exactly where the previous one ended.
inline std::vector<Extent> query_extents(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                         uint32_t max_extents, uint64_t start = 0,
                                         uint64_t count = UINT64_MAX) {
    std::vector<Extent> all;
    std::vector<oruDiskLibExtent> batch(max_extents);
    uint64_t next = start;
    for (int calls = 0; calls < 1000000; ++calls) {
        uint32_t n = 99;
        oruError rc = oruDiskLib_QueryExtents(handle, volume, next, count - (next - start),
                                              batch.data(), max_extents, &n);
        EXPECT_EQ(rc, ORU_OK);
        if (rc != ORU_OK || n == 0) break;
        EXPECT_LE(n, max_extents);
        for (uint32_t i = 0; i < n; ++i) {
            const oruDiskLibExtent &e = batch[i];
            EXPECT_EQ(e.start, next) << "extent " << i << " does not continue the previous one";
            EXPECT_GT(e.count, 0u);
            EXPECT_TRUE(e.flags == ORU_EXTENT_DATA || e.flags == ORU_EXTENT_ZERO);
            if (e.count == 0 || e.start != next) return all;
            const bool zero = e.flags == ORU_EXTENT_ZERO;
            if (!all.empty() && all.back().zero == zero &&
                all.back().start + all.back().count == e.start)
                all.back().count += e.count;
            else
                all.push_back({e.start, e.count, zero});
            next = e.start + e.count;
        }
    }
    return all;
}

// Reads every zero extent (at most `cap` sectors at each end of it) and
// checks that the volume gives zeros there.
inline void expect_zero_extents_read_zero(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                          const std::vector<Extent> &extents, uint64_t cap = 8192) {
    std::vector<uint8_t> buffer;
    auto check = [&](uint64_t start, uint64_t count) {
        buffer.assign(count * 512, 0xA5);
        ASSERT_EQ(oruDiskLib_Read(handle, volume, start, count, buffer.data()), ORU_OK);
        auto nonzero = std::find_if(buffer.begin(), buffer.end(), [](uint8_t b) { return b != 0; });
        EXPECT_TRUE(nonzero == buffer.end())
            << "zero extent holds data at sector " << start + (nonzero - buffer.begin()) / 512;
    };
    for (const Extent &e : extents) {
        if (!e.zero) continue;
        for (uint64_t s = e.start; s < e.start + std::min(e.count, cap); s += 65536)
            check(s, std::min<uint64_t>(65536, e.start + std::min(e.count, cap) - s));
        if (e.count > cap)
            check(e.start + e.count - std::min<uint64_t>(cap, 65536),
                  std::min<uint64_t>(cap, 65536));
    }
}

} // namespace oru::test
