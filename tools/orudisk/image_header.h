// What orudisk learns about a local image file from the file itself: its
// format and, for qcow2, the header fields that describe the virtual disk
// and its backing file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orudisk {

struct ImageHeader {
    std::string path;
    int format = 0;              // SDK_TYPE: ORU_QCOW when the qcow2 magic is there, else ORU_RAW
    uint32_t qcow2_version = 0;  // qcow2 only
    uint64_t virtual_size = 0;   // qcow2: from the header; raw: the file size
    uint32_t cluster_size = 0;   // qcow2 only
    uint64_t file_size = 0;      // bytes the file has
    std::string backing_name;    // as stored in the header; empty when none
    std::string backing_path;    // where that name points, seen from the image
};

// Reads the header of the image at path. Throws CliError.
ImageHeader read_image_header(const std::string &path);

// The backing images below `top`, nearest first. Throws CliError on a
// missing backing file or a loop.
std::vector<ImageHeader> backing_chain(const ImageHeader &top);

} // namespace orudisk
