// The allocation of a local volume as the library reports it: the bitmap
// file it writes beside the image, read back.
#pragma once

#include "bitmap_file.h"
#include "volume_session.h"

namespace orudisk {

// Has the library write "<image>.b" for the open volume and parses it. With
// keep_file false the file is removed again unless it was there before.
AllocationMap query_allocation(VolumeSession &session, bool keep_file);

} // namespace orudisk
