// What orudisk still reads from a local image file itself: which format to
// open it as (the library is told, not asked) and, for `orudisk info`, the
// qcow2 version and backing file name, which the library does not report.
// Sizes and cluster sizes come from the library (VolumeSession::info).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orudisk {

struct ImageHeader {
    std::string path;
    int format = 0;              // SDK_TYPE: ORU_QCOW when the qcow2 magic is there, else ORU_RAW
    uint32_t qcow2_version = 0;  // qcow2 only
    std::string backing_name;    // as stored in the header; empty when none
    std::string backing_path;    // where that name points, seen from the image
};

// Reads the header of the image at path. Throws CliError.
ImageHeader read_image_header(const std::string &path);

// The backing images below `top`, nearest first. Throws CliError on a
// missing backing file or a loop.
std::vector<ImageHeader> backing_chain(const ImageHeader &top);

} // namespace orudisk
