// The allocated-cluster bitmap files the library writes beside an image
// ("<image>.b"): one '0' or '1' per granule of the disk, after a short text
// header. qcow2 images give one character per cluster of the virtual disk,
// raw images one per 256 KiB of the file.
#pragma once

#include <oruDiskLib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orudisk {

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct AllocationMap {
    std::string file;          // the bitmap file it came from
    uint64_t granularity = 0;  // bytes per character
    uint64_t virtual_size = 0; // qcow2 files state it; 0 when the file does not
    std::vector<bool> allocated;

    uint64_t allocated_count() const;
    // True when the map has a character for every byte below `size`.
    bool covers(uint64_t size) const { return allocated.size() * granularity >= size; }
    // The code of a failure over this map: qcow2 files state the disk's size.
    oruError error_code() const { return virtual_size ? ORU_E_QCOW_BITMAP : ORU_E_RAW_BITMAP; }
    // Runs of allocated granules as byte ranges, cut at `size`.
    std::vector<Extent> extents(uint64_t size) const;
};

// Parses a bitmap file of either kind. Throws CliError.
AllocationMap parse_bitmap_file(const std::string &path);

// The bitmap file the library writes for the image at image_path.
std::string bitmap_path_for(const std::string &image_path);

} // namespace orudisk
