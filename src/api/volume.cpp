// The volume operations: argument checks, sector arithmetic, the transfer
// limit and the LUKS header region, then a call through the backend chosen
// at open (core/volume_ops.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/volume_access.h"
#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "core/log.h"
#include "qcow2.h"
#include "remote/transport.h"
#include "rwimage1.h"

using oru::kLuksHeaderBytes;
using oru::kSectorShift;

namespace {

constexpr uint64_t kMaxTransferBytes = 33554432;                            // 32 MiB per call
constexpr uint64_t kMaxTransferSectors = kMaxTransferBytes >> kSectorShift; // 65,536
constexpr uint64_t kZeroChunkBytes = 1 << 20; // zeros written per call where nothing cheaper exists

const char kNoMemory[] = "memory is not enough";

bool is_local_format(int format) {
    return format == ORU_QCOW || format == ORU_RAW || format == ORU_LUKS;
}

// Byte range of a sector range. Refuses start sectors whose byte offset,
// LUKS shift included, would not fit in 64 bits (a wrapped offset would
// silently address the wrong bytes), and counts whose end would not.
struct ByteRange {
    uint64_t offset;
    uint64_t length;
};

oruError byte_range(const oruDiskLibVolume *volume, uint64_t start_sector, uint64_t num_sectors,
                    ByteRange *range) {
    const uint64_t shift = oru::volume_base(volume);
    if (start_sector > ((UINT64_MAX - shift) >> kSectorShift)) return ORU_E_PARAMS;
    range->offset = (start_sector << kSectorShift) + shift;
    if (num_sectors > ((UINT64_MAX - range->offset) >> kSectorShift)) return ORU_E_PARAMS;
    range->length = num_sectors << kSectorShift;
    return ORU_OK;
}

// Releases whatever a previous open left on the handle without a close (an
// image with its descriptor and lock, an NBD connection, an iSCSI session, a
// volume log), so that nothing outlives it, and clears the transport so that
// nothing of the previous volume is used for the new one.
void release_previous_volume(oruDiskLibInHandle *h) {
    if (h->qblk) qcow2_close(&h->qblk);
    h->qblk = nullptr;
    if (h->lblk) {
        raw_close(h->lblk);
        delete h->lblk;
    }
    h->lblk = nullptr;
    if (h->rblk || h->ip || h->port) remote_nbd_close(h);
    if (h->iscsi) remote_iscsi_close(h);
    if (h->log) {
        std::fclose(h->log);
        h->log = nullptr;
    }
    h->flag = ORU_TRANSPORT_NONE;
    h->ops = nullptr;
}

struct RawHandleDeleter {
    void operator()(oru_file_handle *handle) const { delete handle; }
};

oruError open_local(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, int open_flag) {
    h->flag = ORU_TRANSPORT_LOCAL;
    h->lblk = nullptr;
    h->qblk = nullptr;
    // Both engines would hand a null path to the system; refuse it here.
    if (!volume->diskPath) return ORU_E_PARAMS;
    if (volume->diskFormat == ORU_QCOW) {
        qcow2 *image = nullptr;
        // A record left behind by a failed open is not usable (not even by
        // qcow2_close): only a successful open reaches the handle.
        if (qcow2_open(volume->diskPath, &image, open_flag, oru::SlotOut(qcowerror)) == -1)
            return ORU_E_QCOW_OPEN;
        h->qblk = image;
        h->ops = &kQcow2VolumeOps;
        return ORU_OK;
    }
    std::unique_ptr<oru_file_handle, RawHandleDeleter> raw(new (std::nothrow) oru_file_handle{});
    if (!raw) {
        oru::set_slot(rawerror, kNoMemory);
        return ORU_E_RAW_OPEN;
    }
    raw->fd = -1;
    if (raw_open(volume->diskPath, open_flag, raw.get(), oru::SlotOut(rawerror)) == -1) {
        // Whatever the backend got as far as opening goes with the record.
        if (raw->fd > 0) raw_close(raw.get());
        return ORU_E_RAW_OPEN;
    }
    h->lblk = raw.release();
    h->ops = &kRawVolumeOps;
    return ORU_OK;
}

oruError open_remote(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, int access,
                     const char *mode, oruDiskLibInConnection *conn) {
    if (oruError rc = remote_prologue(h, volume, conn); rc != ORU_OK) return rc;
    // Writers need the export read-write; everything else asks for reading.
    const char *open_mode = (access == ORU_WO || access == ORU_RW) ? "rw" : "r";
    oruError rc = ORU_OK;
    if (!mode || std::strcmp(mode, "lanfree") == 0) {
        h->flag = ORU_TRANSPORT_ISCSI;
        if (volume->targeturl && std::strstr(volume->targeturl, "iscsi")) {
            rc = remote_iscsi_attach(h, volume);
            if (rc == ORU_OK) h->ops = &kIscsiVolumeOps;
            return rc;
        }
        rc = remote_nbd_attach(h, volume, open_mode, conn);
    } else if (std::strcmp(mode, "nbd") == 0) {
        rc = remote_nbd_attach(h, volume, open_mode, conn);
    } else {
        // "file": the volume's log is started, no transport is attached, and
        // the handle's flag stays "none" so that every later call refuses.
        return ORU_OK;
    }
    if (rc == ORU_OK) h->ops = &kNbdVolumeOps;
    return rc;
}

bool is_known_mode(const char *mode) {
    return !mode || std::strcmp(mode, "file") == 0 || std::strcmp(mode, "lanfree") == 0 ||
           std::strcmp(mode, "nbd") == 0;
}

oruError transfer(oruDiskLibHandle handle, const oruDiskLibVolume *volume, uint64_t start_sector,
                  uint64_t num_sectors, void *buffer, bool read) {
    if (!handle) return ORU_E_PARAMS;
    // Counts above the limit are refused before the shift, so a huge count
    // cannot wrap into a small length.
    if (num_sectors > kMaxTransferSectors) return ORU_E_MAX_BUFFER;
    oruDiskLibInHandle *h = in_handle(handle);
    ByteRange range{};
    if (oruError rc = byte_range(volume, start_sector, num_sectors, &range); rc != ORU_OK)
        return rc;
    if (!buffer && range.length != 0) return ORU_E_PARAMS;
    const VolumeOps *ops = nullptr;
    if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
    return read ? ops->read(h, range.offset, range.length, buffer)
                : ops->write(h, range.offset, range.length, buffer);
}

oruError header_transfer(oruDiskLibHandle handle, const oruDiskLibVolume *volume, void *buffer,
                         bool read) {
    if (!handle || !volume) return ORU_E_PARAMS;
    if (volume->diskFormat != ORU_LUKS) return ORU_E_FORMAT;
    if (!buffer) return ORU_E_PARAMS;
    oruDiskLibInHandle *h = in_handle(handle);
    const VolumeOps *ops = nullptr;
    if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
    return read ? ops->header_get(h, buffer) : ops->header_set(h, buffer);
}

// Zeros written as data, for backends with no cheaper means.
oruError write_zeroes_as_data(oruDiskLibInHandle *h, const VolumeOps *ops, uint64_t offset,
                              uint64_t length) {
    std::unique_ptr<char[]> zeros(new (std::nothrow) char[kZeroChunkBytes]());
    if (!zeros) return ORU_E_MALLOC;
    while (length > 0) {
        const uint64_t piece = std::min(length, kZeroChunkBytes);
        if (oruError rc = ops->write(h, offset, piece, zeros.get()); rc != ORU_OK) return rc;
        offset += piece;
        length -= piece;
    }
    return ORU_OK;
}

} // namespace

oruError oru::volume_ops(oruDiskLibInHandle *h, const oruDiskLibVolume *volume,
                         const VolumeOps **ops) {
    switch (h->flag) {
    case ORU_TRANSPORT_LOCAL:
        if (!volume || !is_local_format(volume->diskFormat)) return ORU_E_PARAMS;
        if (volume->diskFormat == ORU_QCOW) {
            if (!h->qblk || h->ops != &kQcow2VolumeOps) return ORU_E_HANDLEQCOW;
        } else if (!h->lblk || h->ops != &kRawVolumeOps) {
            return ORU_E_HANDLERAW;
        }
        *ops = h->ops;
        return ORU_OK;
    case ORU_TRANSPORT_NBD:
    case ORU_TRANSPORT_ISCSI:
        // After a failed attach the transport's own rows refuse with its codes.
        *ops = h->ops ? h->ops : h->flag == ORU_TRANSPORT_NBD ? &kNbdVolumeOps : &kIscsiVolumeOps;
        return ORU_OK;
    default:
        return ORU_E_TRANS;
    }
}

ORU_EXPORT oruError oruDiskLib_Open(const oruDiskLibVolume *volume, int openFlag,
                                    const char *transportMode, bool isRemote,
                                    oruDiskLibHandle Handle, oruDiskLibConnection connection) {
    return oru::api_call([&]() -> oruError {
        clean_log_dir_timed();
        if (!volume || !Handle) return ORU_E_PARAMS;
        if (!is_known_mode(transportMode)) return ORU_E_TRANS;
        oruDiskLibInHandle *h = in_handle(Handle);
        release_previous_volume(h);
        h->open_flag = openFlag;
        const int access = open_access(openFlag);
        if (!isRemote) return open_local(h, volume, access);
        return open_remote(h, volume, access, transportMode, in_connection(connection));
    });
}

ORU_EXPORT oruError oruDiskLib_Read(const oruDiskLibHandle diskhandle,
                                    const oruDiskLibVolume *volume,
                                    oruDiskLibSectorType startSector,
                                    oruDiskLibSectorType numSectors, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return transfer(diskhandle, volume, startSector, numSectors, buffer, true);
    });
}

ORU_EXPORT oruError oruDiskLib_Write(const oruDiskLibHandle diskhandle,
                                     const oruDiskLibVolume *volume,
                                     oruDiskLibSectorType startSector,
                                     oruDiskLibSectorType numSectors, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return transfer(diskhandle, volume, startSector, numSectors, buffer, false);
    });
}

ORU_EXPORT oruError oruDiskLib_WriteZeroes(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                           oruDiskLibSectorType startSector,
                                           oruDiskLibSectorType numSectors) {
    return oru::api_call([&]() -> oruError {
        if (!handle || !volume) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(handle);
        const VolumeOps *ops = nullptr;
        if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
        ByteRange range{};
        if (oruError rc = byte_range(volume, startSector, numSectors, &range); rc != ORU_OK)
            return rc;
        DeviceInfo device;
        if (oruError rc = ops->info(h, &device); rc != ORU_OK) return rc;
        // Nothing past the end is zeroed, not even the part before it. A device
        // whose size is not a multiple of 512 (a raw file) ends inside its last
        // sector: that sector is zeroed as far as the end, as Write writes it.
        const uint64_t base = oru::volume_base(volume);
        const uint64_t capacity = device.size > base ? device.size - base : 0;
        const uint64_t sectors = (capacity >> kSectorShift) + ((capacity & 511) != 0);
        if (range.offset + range.length > base + (sectors << kSectorShift)) return ORU_E_PARAMS;
        range.length = std::min(range.length, device.size - std::min(range.offset, device.size));
        if (range.length == 0) return ORU_OK;
        if (ops->zero) return ops->zero(h, range.offset, range.length);
        return write_zeroes_as_data(h, ops, range.offset, range.length);
    });
}

ORU_EXPORT oruError oruDiskLib_Flush(oruDiskLibHandle handle, const oruDiskLibVolume *volume) {
    return oru::api_call([&]() -> oruError {
        if (!handle || !volume) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(handle);
        const VolumeOps *ops = nullptr;
        if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
        // A backend without a flush of its own makes each write durable before
        // it returns.
        return ops->flush ? ops->flush(h) : ORU_OK;
    });
}

ORU_EXPORT oruError oruDiskLib_Header_get(const oruDiskLibHandle diskhandle,
                                          const oruDiskLibVolume *volume, void *buffer) {
    return oru::api_call(
        [&]() -> oruError { return header_transfer(diskhandle, volume, buffer, true); });
}

ORU_EXPORT oruError oruDiskLib_Header_set(const oruDiskLibHandle diskhandle,
                                          const oruDiskLibVolume *volume, void *buffer) {
    return oru::api_call(
        [&]() -> oruError { return header_transfer(diskhandle, volume, buffer, false); });
}

ORU_EXPORT oruError oruDiskLib_Close(oruDiskLibHandle diskhandle, const oruDiskLibVolume *volume) {
    return oru::api_call([&]() -> oruError {
        if (!diskhandle) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(diskhandle);
        switch (h->flag) {
        case ORU_TRANSPORT_LOCAL: {
            if (!volume) return ORU_E_PARAMS;
            // Whatever engine the handle holds is released, whatever format the
            // descriptor names now, so that a mismatched descriptor cannot leak it.
            if (!h->ops) return ORU_E_CLOSE; // nothing open: never opened, failed, or closed
            const oruError rc = h->ops->close(h);
            h->ops = nullptr;
            return rc;
        }
        case ORU_TRANSPORT_NBD:
        case ORU_TRANSPORT_ISCSI: {
            const VolumeOps *ops = nullptr;
            oru::volume_ops(h, volume, &ops);
            const oruError rc = ops->close(h);  // also releases what a failed attach left
            if (rc == ORU_OK) h->ops = nullptr; // a failed NBD close may be tried again
            return rc;
        }
        default:
            // A remote open that attached nothing ("file", or an attach that
            // failed before choosing a transport) holds at most its log.
            if (h->log) {
                std::fclose(h->log);
                h->log = nullptr;
            }
            return ORU_E_CLOSE;
        }
    });
}
