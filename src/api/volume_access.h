// What every volume entry point shares: finding the open volume's backend
// for the descriptor the caller passed, and where volume byte 0 lies on the
// backend's device.
#pragma once

#include <cstdint>

#include "core/handle.h"
#include "core/volume_ops.h"

namespace oru {

inline constexpr unsigned kSectorShift = 9;
inline constexpr uint64_t kLuksHeaderBytes = 1052672; // 0x101000

// Device byte of volume byte 0: past the header region on LUKS volumes.
inline uint64_t volume_base(const oruDiskLibVolume *volume) {
    return volume && volume->diskFormat == ORU_LUKS ? kLuksHeaderBytes : 0;
}

// The backend of the volume open on h, refused with the code a read gives
// when nothing usable is open or the descriptor names a local format the
// handle was not opened with.
oruError volume_ops(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, const VolumeOps **ops);

// Fails a bitmap query on a volume whose backend keeps no change-tracking
// bitmaps, with a text that says so.
oruError no_bitmaps(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, const char *bitmap);

} // namespace oru
