// One backend's operations on an open volume. The volume layer picks a table
// when the volume opens (qcow2, raw and LUKS files, NBD, iSCSI) and every
// entry point checks its arguments once, then calls through it: a new
// operation is one row per backend, not a branch in every entry point.
//
// Offsets and lengths are bytes of the backend's device (the image file's
// guest view, the raw file, the NBD export, the LUN): the LUKS header shift
// and the sector arithmetic are done by the caller. Every row returns an
// oruError and leaves its text in the backend's last-error slot.
#pragma once

#include <cstdint>

#include "core/handle.h"
#include "rwimage1.h"

// What a backend says of its device; the entry point turns it into the
// caller's oruDiskLibInfo (capacity after a LUKS header, the volume format).
struct DeviceInfo {
    uint64_t size = 0;             // device bytes
    uint32_t cluster_size = 0;     // qcow2 active layer; 0 otherwise
    uint32_t min_block = 512;      // alignment the transport needs
    uint32_t preferred_block = 512;
    uint32_t max_request = 0;      // largest single transfer; 0: the library's limit
    uint32_t flags = 0;            // ORU_INFO_*
};

struct VolumeOps {
    const char *name;
    oruError (*read)(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
    oruError (*write)(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
    // Afterwards [offset, offset + length) reads as zeros. No size limit.
    oruError (*zero)(oruDiskLibInHandle *h, uint64_t offset, uint64_t length);
    // Everything written before is durable.
    oruError (*flush)(oruDiskLibInHandle *h);
    // Runs of "reads as zeros" / "may hold data" over [offset, offset + length).
    oruError (*extents)(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, oru_extent_fn fn,
                        void *opaque);
    oruError (*info)(oruDiskLibInHandle *h, DeviceInfo *info);
    // The first `length` bytes of the device: the LUKS header region.
    oruError (*header_get)(oruDiskLibInHandle *h, void *buffer);
    oruError (*header_set)(oruDiskLibInHandle *h, void *buffer);
    oruError (*close)(oruDiskLibInHandle *h);
    // Change-tracking bitmaps. Null rows: the backend keeps none.
    oruError (*list_bitmaps)(oruDiskLibInHandle *h, oruDiskLibBitmapInfo *bitmaps,
                             uint32_t max_bitmaps, uint32_t *num_bitmaps);
    // Runs over [offset, offset + length) as the bitmap `name` marks them,
    // reported through fn with zero = 1 for unchanged and 0 for changed
    // bytes (a run left out counts as changed).
    oruError (*changed_extents)(oruDiskLibInHandle *h, const char *name, uint64_t offset,
                                uint64_t length, oru_extent_fn fn, void *opaque);
};

// The tables, one per backend.
extern const VolumeOps kQcow2VolumeOps;
extern const VolumeOps kRawVolumeOps; // raw and LUKS files
extern const VolumeOps kNbdVolumeOps;
extern const VolumeOps kIscsiVolumeOps;
