// The format and size of a volume as the commands need them: taken from the
// image file for local volumes, from the options or by probing for remote ones.
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

// The bytes that sector reads address when they are known without asking
// the volume: --size, or what a local image says. None for a remote volume
// without --size.
std::optional<uint64_t> stated_size(const VolumeOptions &options, int format,
                                    const std::optional<ImageHeader> &header);

// Bytes that sector reads address (for LUKS volumes: after the header
// region). --size wins; local images say it; remote volumes are probed.
uint64_t addressable_size(const VolumeOptions &options, int format,
                          const std::optional<ImageHeader> &header, VolumeSession &session);

} // namespace orudisk
