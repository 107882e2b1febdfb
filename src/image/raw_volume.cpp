// Raw and LUKS image files as a volume backend: the row of each operation,
// with the backend's text left in rawerror.
#include <unistd.h>

#include <cerrno>

#include "core/last_error.h"
#include "core/volume_ops.h"

namespace {

constexpr uint64_t kLuksHeaderBytes = 1052672;
const char kFlushFailed[] = "flush image file failed";

oruError raw_volume_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h->lblk) return ORU_E_HANDLERAW;
    return raw_read(h->lblk, offset, static_cast<size_t>(length), buffer, oru::SlotOut(rawerror)) ==
                   -1
               ? ORU_E_RAW_READ
               : ORU_OK;
}

oruError raw_volume_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h->lblk) return ORU_E_HANDLERAW;
    return raw_write(h->lblk, offset, static_cast<size_t>(length), buffer,
                     oru::SlotOut(rawerror)) == -1
               ? ORU_E_RAW_WRITE
               : ORU_OK;
}

oruError raw_volume_flush(oruDiskLibInHandle *h) {
    if (!h->lblk) return ORU_E_HANDLERAW;
    if (h->lblk->flag == ORU_RO) return ORU_OK;
    int rc;
    do
        rc = ::fdatasync(h->lblk->fd);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        oru::set_slot(rawerror, kFlushFailed);
        return ORU_E_RAW_WRITE;
    }
    return ORU_OK;
}

oruError raw_volume_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                            oru_extent_fn fn, void *opaque) {
    if (!h->lblk) return ORU_E_HANDLERAW;
    return raw_extents(h->lblk, offset, length, fn, opaque, oru::SlotOut(rawerror)) == 0
               ? ORU_OK
               : ORU_E_RAW_READ;
}

oruError raw_volume_info(oruDiskLibInHandle *h, DeviceInfo *info) {
    if (!h->lblk) return ORU_E_HANDLERAW;
    info->size = h->lblk->size;
    info->min_block = 512;
    info->preferred_block = 4096;
    info->flags = ORU_INFO_EXTENTS | ORU_INFO_CAN_FLUSH;
    if (h->lblk->flag == ORU_RO) info->flags |= ORU_INFO_READ_ONLY;
    return ORU_OK;
}

oruError raw_volume_header_get(oruDiskLibInHandle *h, void *buffer) {
    return raw_volume_read(h, 0, kLuksHeaderBytes, buffer);
}

oruError raw_volume_header_set(oruDiskLibInHandle *h, void *buffer) {
    return raw_volume_write(h, 0, kLuksHeaderBytes, buffer);
}

oruError raw_volume_close(oruDiskLibInHandle *h) {
    if (!h->lblk) return ORU_E_CLOSE;
    raw_close(h->lblk);
    delete h->lblk;
    h->lblk = nullptr;
    return ORU_OK;
}

} // namespace

const VolumeOps kRawVolumeOps = {
    .name = "raw",
    .read = raw_volume_read,
    .write = raw_volume_write,
    .zero = nullptr,
    .flush = raw_volume_flush,
    .extents = raw_volume_extents,
    .info = raw_volume_info,
    .header_get = raw_volume_header_get,
    .header_set = raw_volume_header_set,
    .close = raw_volume_close,
    .list_bitmaps = nullptr,
    .changed_extents = nullptr,
};
