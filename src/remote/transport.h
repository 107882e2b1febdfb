// The remote transports behind the volume dispatch. The dispatch (volume.cpp)
// checks arguments, converts sectors to bytes and applies the LUKS shift;
// these functions do the rest and return an oruError code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/handle.h"
#include "core/volume_ops.h"
#include "rwimage1.h"

// Remote prologue: creates /var/log/tamb/<volumeUuid>.log in h->log, resets
// h->statu and writes the session line. ORU_E_PARAMS without a connection.
oruError remote_prologue(oruDiskLibInHandle *h, const oruDiskLibVolume *volume,
                         oruDiskLibInConnection *conn);

// NBD: attach (host selection, export, connect), I/O, LUKS header, close.
oruError remote_nbd_attach(oruDiskLibInHandle *h, const oruDiskLibVolume *volume,
                           const char *openMode, oruDiskLibInConnection *conn);
oruError remote_nbd_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
oruError remote_nbd_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
oruError remote_nbd_header_get(oruDiskLibInHandle *h, void *buffer);
oruError remote_nbd_header_set(oruDiskLibInHandle *h, void *buffer);
// Zeroing and flushing honour ORU_WRITEBACK in h->open_flag as writes do.
oruError remote_nbd_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length);
oruError remote_nbd_flush(oruDiskLibInHandle *h);
// Flushes a write-back handle first; its failure is reported, yet the
// connection is released.
oruError remote_nbd_close(oruDiskLibInHandle *h);
// Describes export bytes [offset, offset + length) from the export's
// "base:allocation" block status, or as data when it offers none.
oruError remote_nbd_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                            oru_extent_fn fn, void *opaque);
// Describes export bytes [offset, offset + length) from block status of
// `context` on nbd (the volume's connection, or another one to the same
// export that agreed to the context). With dirty_bitmap, runs whose bit 0
// is clear are reported as "zero" (unchanged), the others as changed.
oruError remote_nbd_block_status(oruDiskLibInHandle *h, nbd_handle *nbd, const char *context,
                                 bool dirty_bitmap, uint64_t offset, uint64_t length,
                                 oru_extent_fn fn, void *opaque);
// The export's "qemu:dirty-bitmap:NAME" contexts (nbd_bitmaps.cpp), each
// asked on a second connection to the same export.
oruError remote_nbd_list_bitmaps(oruDiskLibInHandle *h, oruDiskLibBitmapInfo *bitmaps,
                                 uint32_t max_bitmaps, uint32_t *num_bitmaps);
oruError remote_nbd_changed_extents(oruDiskLibInHandle *h, const char *name, uint64_t offset,
                                    uint64_t length, oru_extent_fn fn, void *opaque);

// iSCSI ("lanfree" with an iscsi target URL).
oruError remote_iscsi_attach(oruDiskLibInHandle *h, const oruDiskLibVolume *volume);
oruError remote_iscsi_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
oruError remote_iscsi_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer);
oruError remote_iscsi_header_get(oruDiskLibInHandle *h, void *buffer);
oruError remote_iscsi_header_set(oruDiskLibInHandle *h, void *buffer);
// WRITE SAME (16), with UNMAP where the LUN then reads zeros, else zeros
// written; partial blocks at the ends read, patched and written.
oruError remote_iscsi_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length);
// SYNCHRONIZE CACHE; ORU_OK at once on a read-only handle.
oruError remote_iscsi_flush(oruDiskLibInHandle *h);
// Flushes a write-back handle first; its failure is reported, yet the
// session ends.
oruError remote_iscsi_close(oruDiskLibInHandle *h);
// Describes LUN bytes [offset, offset + length) from GET LBA STATUS on a
// thin-provisioned LUN, or as data on any other.
oruError remote_iscsi_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                              oru_extent_fn fn, void *opaque);
