// Allocation bitmaps of raw images from the file system's extent map.
#pragma once

#include <linux/fiemap.h>

// The extents of the open file fd, in file order, as one fiemap record that
// the caller frees with free(): fm_mapped_extents is the number of extents,
// fm_length the file length. Falls back to SEEK_DATA/SEEK_HOLE where the file
// system has no extent map. NULL on failure with *error set.
extern "C" struct fiemap *read_fiemap(int fd, char **error);

// Writes "<filename>.b": "granularity:262144\nbitmap:" and one character per
// 256 KiB granule of the file, "1" where any extent reaches into it.
// 0, or -1 (with *error set unless the file could not be opened).
extern "C" int dump_fiemap(struct fiemap *fiemap, char *filename, char **error);
