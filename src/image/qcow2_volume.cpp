// The qcow2 engine as a volume backend: the row of each operation, with the
// engine's text left in qcowerror.
#include <new>

#include "core/last_error.h"
#include "core/volume_ops.h"
#include "image/qcow2_dirty_bitmap.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"

namespace {

const char kFlushFailed[] = "flush image file failed";
using oru::qcow2_engine::kHeaderFailed;
using oru::qcow2_engine::kVersionAt;

oruError qcow2_volume_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_read(h->qblk, buffer, static_cast<size_t>(length), offset,
                      oru::SlotOut(qcowerror)) < 0
               ? ORU_E_QCOW_READ
               : ORU_OK;
}

oruError qcow2_volume_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_write(h->qblk, buffer, static_cast<size_t>(length), offset,
                       oru::SlotOut(qcowerror)) < 0
               ? ORU_E_QCOW_WRITE
               : ORU_OK;
}

oruError qcow2_volume_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_zero(h->qblk, offset, length, oru::SlotOut(qcowerror)) < 0 ? ORU_E_QCOW_WRITE
                                                                            : ORU_OK;
}

oruError qcow2_volume_flush(oruDiskLibInHandle *h) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    if (qcow2_flush(h->qblk) != 0) {
        oru::set_slot(qcowerror, kFlushFailed);
        return ORU_E_QCOW_WRITE;
    }
    return ORU_OK;
}

oruError qcow2_volume_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                              oru_extent_fn fn, void *opaque) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_extents(h->qblk, offset, length, fn, opaque, oru::SlotOut(qcowerror)) == 0
               ? ORU_OK
               : ORU_E_QCOW_READ;
}

oruError qcow2_volume_info(oruDiskLibInHandle *h, DeviceInfo *info) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    const qcow2 *q = h->qblk;
    info->size = q->size;
    info->cluster_size = static_cast<uint32_t>(q->cluster_size);
    info->min_block = 512;
    info->preferred_block = static_cast<uint32_t>(q->cluster_size);
    info->flags = ORU_INFO_EXTENTS | ORU_INFO_CAN_FLUSH;
    if (q->flag == ORU_RO) info->flags |= ORU_INFO_READ_ONLY;
    // Zeroing whole clusters is a metadata change on version 3 (zero flags)
    // and on standalone version 2 images (deallocation); a version 2 overlay
    // may need a cluster appended for each one.
    unsigned char version[4];
    if (oru::pread_full(q->fd, version, sizeof version, kVersionAt) !=
        static_cast<ssize_t>(sizeof version)) {
        oru::set_slot(qcowerror, kHeaderFailed);
        return ORU_E_QCOW_READ;
    }
    if (be32tohp(version) >= 3 || q->backing_file[0] == '\0') info->flags |= ORU_INFO_FAST_ZERO;
    if (qcow2_has_dirty_bitmaps(h->qblk)) info->flags |= ORU_INFO_BITMAPS;
    return ORU_OK;
}

// A qcow2 volume has no LUKS header region of its own.
oruError qcow2_volume_header(oruDiskLibInHandle *, void *) {
    return ORU_E_FORMAT;
}

// A writable image is flushed to stable storage on close: when that fails
// the data may not be durable, and the caller must hear of it.
oruError qcow2_volume_close(oruDiskLibInHandle *h) {
    if (!h->qblk) return ORU_E_CLOSE;
    const int rc = qcow2_close(&h->qblk);
    h->qblk = nullptr;
    if (rc != 0) {
        oru::set_slot(qcowerror, kFlushFailed);
        return ORU_E_QCOW_WRITE;
    }
    return ORU_OK;
}

// The bitmaps stored in this image itself: a bitmap describes the layer
// that holds it, so the backing chain is not consulted.
oruError qcow2_volume_list_bitmaps(oruDiskLibInHandle *h, oruDiskLibBitmapInfo *bitmaps,
                                   uint32_t max_bitmaps, uint32_t *num_bitmaps) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_list_dirty_bitmaps(h->qblk, bitmaps, max_bitmaps, num_bitmaps,
                                    oru::SlotOut(qcowerror)) == 0
               ? ORU_OK
               : ORU_E_QCOW_BITMAP;
}

oruError qcow2_volume_changed_extents(oruDiskLibInHandle *h, const char *name, uint64_t offset,
                                      uint64_t length, oru_extent_fn fn, void *opaque) {
    if (!h->qblk) return ORU_E_HANDLEQCOW;
    return qcow2_dirty_extents(h->qblk, name, offset, length, fn, opaque,
                               oru::SlotOut(qcowerror)) == 0
               ? ORU_OK
               : ORU_E_QCOW_BITMAP;
}

} // namespace

const VolumeOps kQcow2VolumeOps = {
    .name = "qcow2",
    .read = qcow2_volume_read,
    .write = qcow2_volume_write,
    .zero = qcow2_volume_zero,
    .flush = qcow2_volume_flush,
    .extents = qcow2_volume_extents,
    .info = qcow2_volume_info,
    .header_get = qcow2_volume_header,
    .header_set = qcow2_volume_header,
    .close = qcow2_volume_close,
    .list_bitmaps = qcow2_volume_list_bitmaps,
    .changed_extents = qcow2_volume_changed_extents,
};
