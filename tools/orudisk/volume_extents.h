// Which parts of an open volume hold data, as the library's extents query
// answers, in byte ranges: a copy reads only the data and a map prints both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap_file.h"
#include "volume_session.h"

namespace orudisk {

struct VolumeExtent {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool zero = false; // reads return zeros; otherwise they may return data
};

struct ExtentMap {
    // Ascending and contiguous from 0, neighbours of one kind joined.
    std::vector<VolumeExtent> extents;
    // Where they stop: the size asked for, or the volume's end if it comes
    // first.
    uint64_t end = 0;
};

// The extents of [0, size) of the volume, asked for in batches. Throws
// CliError (with the library's code when it gave one) if the library cannot
// tell or answers something that does not fit together.
ExtentMap query_extents(VolumeSession &session, uint64_t size);

// The same for what the change-tracking bitmap `bitmap` marks: an extent is
// `zero` where the bitmap says unchanged, so data_ranges() of the map are the
// changed ranges (and whatever it does not reach).
ExtentMap query_changed_extents(VolumeSession &session, const std::string &bitmap, uint64_t size);

// The ranges of [0, size) that may hold data: the data extents, and whatever
// lies past the map's end (unknown, so taken as data).
std::vector<Extent> data_ranges(const ExtentMap &map, uint64_t size);

// The ranges the map says read as zeros.
std::vector<Extent> zero_ranges(const ExtentMap &map);

// Bytes in both lists, and bytes of `a` outside `b`. Both lists ascending,
// their ranges apart from each other.
std::vector<Extent> intersect_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b);
std::vector<Extent> subtract_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b);

// Every byte in either list, as ascending ranges that neither touch nor
// overlap. Both lists are ascending.
std::vector<Extent> join_ranges(const std::vector<Extent> &a, const std::vector<Extent> &b);

} // namespace orudisk
