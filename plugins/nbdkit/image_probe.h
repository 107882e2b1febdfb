// What the plugin learns about a local image file before the library opens
// it: the format (qcow2 when the file starts with the qcow2 magic, raw
// otherwise, as orudisk decides) and the virtual size that sector reads
// address.
#pragma once

#include <cstdint>
#include <string>

namespace oru_nbdkit {

inline constexpr uint64_t kLuksHeaderBytes = 1052672; // skipped by sector reads of LUKS volumes

struct ImageFacts {
    int format = 0;          // SDK_TYPE found in the file: ORU_QCOW or ORU_RAW
    uint64_t file_size = 0;  // bytes the file holds
    uint64_t qcow2_size = 0; // virtual size from the qcow2 header
};

// Reads the first bytes of the image. On failure returns false and fills
// *error.
bool probe_image(const std::string &path, ImageFacts *facts, std::string *error);

// Bytes a volume of `format` (an SDK_TYPE) addresses, given what the file says.
uint64_t addressable_size(const ImageFacts &facts, int format);

} // namespace oru_nbdkit
