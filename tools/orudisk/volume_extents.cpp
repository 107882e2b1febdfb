#include "volume_extents.h"

#include <algorithm>
#include <functional>
#include <string>

#include "cli_error.h"

namespace orudisk {

namespace {

// Large enough that a thin volume is answered in a call or two, small
// enough that the buffer is nothing beside the copy's.
constexpr uint32_t kBatch = 4096;

void append(ExtentMap &map, uint64_t offset, uint64_t length, bool zero) {
    if (!map.extents.empty()) {
        VolumeExtent &last = map.extents.back();
        if (last.zero == zero && last.offset + last.length == offset) {
            last.length += length;
            return;
        }
    }
    map.extents.push_back({offset, length, zero});
}

// One batch of extents from sector `next`, as the library answers it.
using Query = std::function<oruError(uint64_t next, uint64_t sectors, oruDiskLibExtent *batch,
                                     uint32_t *count)>;

// Asks `query` in batches up to `size`; `blank` is the flag of an extent
// that reads as the baseline does (zeros, or unchanged).
ExtentMap collect_extents(VolumeSession &session, uint64_t size, const Query &query,
                          uint32_t blank, const std::string &what) {
    ExtentMap map;
    const uint64_t sectors = (size + kSector - 1) / kSector;
    std::vector<oruDiskLibExtent> batch(kBatch);
    uint64_t next = 0; // sector
    while (next < sectors) {
        uint32_t count = 0;
        oruError rc = query(next, sectors - next, batch.data(), &count);
        if (rc != ORU_OK)
            throw CliError("querying " + what + " of " + session.name() + " from sector " +
                               std::to_string(next) + " failed",
                           rc);
        if (count > kBatch)
            throw CliError::found(ORU_E_FAIL, "the extents query answered more extents than asked for");
        if (count == 0) break; // the volume ends before `size`
        for (uint32_t i = 0; i < count; ++i) {
            const oruDiskLibExtent &e = batch[i];
            // A gap, an overlap or an empty extent would make the copy skip or
            // repeat bytes: trust none of the answer then.
            if (e.start != next || e.count == 0 || e.count > sectors - next)
                throw CliError::found(
                    ORU_E_FAIL, "the extents query answered a range that does not follow on at sector " +
                    std::to_string(next));
            uint64_t offset = next * kSector;
            uint64_t end = std::min((next + e.count) * kSector, size);
            append(map, offset, end - offset, e.flags == blank);
            next += e.count;
        }
    }
    map.end = std::min(next * kSector, size);
    return map;
}

} // namespace

ExtentMap query_extents(VolumeSession &session, uint64_t size) {
    return collect_extents(
        session, size,
        [&](uint64_t next, uint64_t sectors, oruDiskLibExtent *batch, uint32_t *count) {
            return session.query_extents(next, sectors, batch, kBatch, count);
        },
        ORU_EXTENT_ZERO, "the extents");
}

ExtentMap query_changed_extents(VolumeSession &session, const std::string &bitmap, uint64_t size) {
    // Only an extent the library calls unchanged (flags 0) is skipped.
    return collect_extents(
        session, size,
        [&](uint64_t next, uint64_t sectors, oruDiskLibExtent *batch, uint32_t *count) {
            return session.query_changed_extents(bitmap, next, sectors, batch, kBatch, count);
        },
        0, "the changes in bitmap " + bitmap);
}

std::vector<Extent> data_ranges(const ExtentMap &map, uint64_t size) {
    std::vector<Extent> ranges;
    for (const VolumeExtent &e : map.extents)
        if (!e.zero) ranges.push_back({e.offset, e.length});
    if (map.end < size) {
        if (!ranges.empty() && ranges.back().offset + ranges.back().length == map.end)
            ranges.back().length = size - ranges.back().offset;
        else
            ranges.push_back({map.end, size - map.end});
    }
    return ranges;
}

std::vector<Extent> zero_ranges(const ExtentMap &map) {
    std::vector<Extent> ranges;
    for (const VolumeExtent &e : map.extents)
        if (e.zero) ranges.push_back({e.offset, e.length});
    return ranges;
}

std::vector<Extent> intersect_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b) {
    std::vector<Extent> both;
    size_t j = 0;
    for (const Extent &x : a) {
        const uint64_t x_end = x.offset + x.length;
        while (j < b.size() && b[j].offset + b[j].length <= x.offset) ++j;
        for (size_t k = j; k < b.size() && b[k].offset < x_end; ++k) {
            uint64_t start = std::max(x.offset, b[k].offset);
            uint64_t end = std::min(x_end, b[k].offset + b[k].length);
            if (start < end) both.push_back({start, end - start});
        }
    }
    return both;
}

std::vector<Extent> subtract_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b) {
    std::vector<Extent> rest;
    size_t j = 0;
    for (const Extent &x : a) {
        uint64_t pos = x.offset;
        const uint64_t x_end = x.offset + x.length;
        while (j < b.size() && b[j].offset + b[j].length <= pos) ++j;
        for (size_t k = j; k < b.size() && b[k].offset < x_end; ++k) {
            if (b[k].offset > pos) rest.push_back({pos, b[k].offset - pos});
            pos = std::max(pos, b[k].offset + b[k].length);
        }
        if (pos < x_end) rest.push_back({pos, x_end - pos});
    }
    return rest;
}

std::vector<Extent> join_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b) {
    std::vector<Extent> all(a);
    all.insert(all.end(), b.begin(), b.end());
    std::sort(all.begin(), all.end(),
              [](const Extent &x, const Extent &y) { return x.offset < y.offset; });
    std::vector<Extent> joined;
    for (const Extent &e : all) {
        if (e.length == 0) continue;
        if (!joined.empty() && e.offset <= joined.back().offset + joined.back().length) {
            Extent &last = joined.back();
            last.length = std::max(last.offset + last.length, e.offset + e.length) - last.offset;
        } else {
            joined.push_back(e);
        }
    }
    return joined;
}

} // namespace orudisk
