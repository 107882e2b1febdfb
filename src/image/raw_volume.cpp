// Raw and LUKS image files as a volume backend: the row of each operation,
// with the backend's text left in rawerror.
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "core/last_error.h"
#include "core/volume_ops.h"
#include "util/file_io.h"

namespace {

constexpr uint64_t kLuksHeaderBytes = 1052672;
constexpr uint64_t kZeroChunkBytes = 1 << 20; // zeros written per call where holes cannot be punched
const char kFlushFailed[] = "flush image file failed";
const char kWriteFailed[] = "write file failed"; // raw_write's text
const char kZeroFailed[] = "punch hole in file failed";
const char kNoMemory[] = "memory is not enough";

// File systems whose regular files take FALLOC_FL_PUNCH_HOLE, so that zeroing
// costs about nothing per byte.
bool punches_holes(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // also ext2 and ext3 mounted by the ext4 driver
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// Zeros written as data where the file system punches no holes, through the
// write row's free-space check.
oruError write_zeroes(oru_file_handle *file, uint64_t offset, uint64_t length) {
    std::unique_ptr<char[]> zeros(new (std::nothrow) char[kZeroChunkBytes]());
    if (!zeros) {
        oru::set_slot(rawerror, kNoMemory);
        return ORU_E_MALLOC;
    }
    while (length > 0) {
        const uint64_t piece = std::min(length, kZeroChunkBytes);
        if (raw_write(file, offset, static_cast<size_t>(piece), zeros.get(), oru::SlotOut(rawerror)) == -1)
            return ORU_E_RAW_WRITE;
        offset += piece;
        length -= piece;
    }
    return ORU_OK;
}

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

// Holes punched over the range (the file keeps its size and the blocks go
// back to the file system); the caller has kept LUKS header bytes out of it.
oruError raw_volume_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    oru_file_handle *file = h->lblk;
    if (!file) return ORU_E_HANDLERAW;
    if (file->flag == ORU_RO || file->fd <= 0) {
        oru::set_slot(rawerror, kWriteFailed);
        return ORU_E_RAW_WRITE;
    }
    // As with writes, nothing past the size at open: the file never grows.
    if (offset >= file->size) return ORU_OK;
    length = std::min(length, file->size - offset);
    if (oru::punch_zeroes(file->fd, offset, length)) return ORU_OK;
    if (!oru::punch_unsupported(errno)) {
        oru::set_slot(rawerror, kZeroFailed);
        return ORU_E_RAW_WRITE;
    }
    return write_zeroes(file, offset, length);
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
    if (punches_holes(h->lblk->fd)) info->flags |= ORU_INFO_FAST_ZERO;
    return ORU_OK;
}

oruError raw_volume_header_get(oruDiskLibInHandle *h, void *buffer) {
    return raw_volume_read(h, 0, kLuksHeaderBytes, buffer);
}

oruError raw_volume_header_set(oruDiskLibInHandle *h, void *buffer) {
    return raw_volume_write(h, 0, kLuksHeaderBytes, buffer);
}

// Like qcow2 images, a writable file is flushed to stable storage on close,
// and a failed flush is reported: the data may not be durable.
oruError raw_volume_close(oruDiskLibInHandle *h) {
    if (!h->lblk) return ORU_E_CLOSE;
    const oruError flushed = raw_volume_flush(h);
    raw_close(h->lblk);
    delete h->lblk;
    h->lblk = nullptr;
    return flushed;
}

} // namespace

const VolumeOps kRawVolumeOps = {
    .name = "raw",
    .read = raw_volume_read,
    .write = raw_volume_write,
    .zero = raw_volume_zero,
    .flush = raw_volume_flush,
    .extents = raw_volume_extents,
    .info = raw_volume_info,
    .header_get = raw_volume_header_get,
    .header_set = raw_volume_header_set,
    .close = raw_volume_close,
    .list_bitmaps = nullptr,
    .changed_extents = nullptr,
};
