// The format and size of a volume as the commands need them: the format to
// open it as (--format, else what a local image file is), and its size as
// the library reports it once open.
#pragma once

#include <cstdint>
#include <optional>

#include "image_header.h"
#include "volume_options.h"
#include "volume_session.h"

namespace orudisk {

// The header of a local image; none for remote volumes. Throws CliError.
std::optional<ImageHeader> local_header(const VolumeOptions &options);

// The SDK_TYPE to open the volume with: --format, else what the image file is.
int choose_format(const VolumeOptions &options, const std::optional<ImageHeader> &header);

// Bytes that sector reads address (for LUKS volumes: after the header
// region), as oruDiskLib_GetInfo says; --size, when given, uses only that
// much of it. A --size past the volume's end is refused: reads there deliver
// nothing and writes are cut. Throws CliError.
uint64_t volume_size(const VolumeOptions &options, VolumeSession &session);

} // namespace orudisk
