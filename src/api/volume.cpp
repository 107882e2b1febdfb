// The volume operations: argument checks, sector arithmetic, the transfer
// limit and the LUKS header region, then dispatch to the transport chosen at
// open (local image engines here; remote transports behind remote/transport.h).
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "core/log.h"
#include "qcow2.h"
#include "remote/transport.h"
#include "rwimage1.h"

namespace {

constexpr unsigned kSectorShift = 9;
constexpr uint64_t kMaxTransferBytes = 33554432;                            // 32 MiB per call
constexpr uint64_t kMaxTransferSectors = kMaxTransferBytes >> kSectorShift; // 65,536
constexpr uint64_t kLuksHeaderBytes = 1052672;                              // 0x101000

const char kNoMemory[] = "memory is not enough";
const char kFlushFailed[] = "flush image file failed";

bool is_luks(const oruDiskLibVolume *volume) {
    return volume && volume->diskFormat == ORU_LUKS;
}

// Byte range of a sector transfer. Refuses counts above the limit before the
// shift (a huge count must not wrap into a small length) and start sectors
// whose byte offset, LUKS shift included, would not fit in 64 bits (a wrapped
// offset would silently address the wrong bytes).
struct ByteRange {
    uint64_t offset;
    uint64_t length;
};

oruError byte_range(const oruDiskLibVolume *volume, uint64_t start_sector, uint64_t num_sectors,
                    ByteRange *range) {
    if (num_sectors > kMaxTransferSectors) return ORU_E_MAX_BUFFER;
    const uint64_t shift = is_luks(volume) ? kLuksHeaderBytes : 0;
    if (start_sector > ((UINT64_MAX - shift) >> kSectorShift)) return ORU_E_PARAMS;
    range->offset = (start_sector << kSectorShift) + shift;
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
    return ORU_OK;
}

oruError open_remote(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, int open_flag,
                     const char *mode, oruDiskLibInConnection *conn) {
    if (oruError rc = remote_prologue(h, volume, conn); rc != ORU_OK) return rc;
    // Writers need the export read-write; everything else asks for reading.
    const char *open_mode = (open_flag == ORU_WO || open_flag == ORU_RW) ? "rw" : "r";
    if (!mode || std::strcmp(mode, "lanfree") == 0) {
        h->flag = ORU_TRANSPORT_ISCSI;
        if (volume->targeturl && std::strstr(volume->targeturl, "iscsi"))
            return remote_iscsi_attach(h, volume);
        return remote_nbd_attach(h, volume, open_mode, conn);
    }
    if (std::strcmp(mode, "nbd") == 0) return remote_nbd_attach(h, volume, open_mode, conn);
    // "file": the volume's log is started, no transport is attached, and the
    // handle's flag stays "none" so that every later call refuses.
    return ORU_OK;
}

bool is_known_mode(const char *mode) {
    return !mode || std::strcmp(mode, "file") == 0 || std::strcmp(mode, "lanfree") == 0 ||
           std::strcmp(mode, "nbd") == 0;
}

bool is_local_format(int format) {
    return format == ORU_QCOW || format == ORU_RAW || format == ORU_LUKS;
}

enum class Direction { kRead, kWrite };

oruError local_transfer(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, Direction dir,
                        const ByteRange &range, void *buffer) {
    if (!volume || !is_local_format(volume->diskFormat)) return ORU_E_PARAMS;
    const size_t length = static_cast<size_t>(range.length);
    if (volume->diskFormat == ORU_QCOW) {
        if (!h->qblk) return ORU_E_HANDLEQCOW;
        if (dir == Direction::kRead)
            return qcow2_read(h->qblk, buffer, length, range.offset, oru::SlotOut(qcowerror)) < 0
                       ? ORU_E_QCOW_READ
                       : ORU_OK;
        return qcow2_write(h->qblk, buffer, length, range.offset, oru::SlotOut(qcowerror)) < 0
                   ? ORU_E_QCOW_WRITE
                   : ORU_OK;
    }
    if (!h->lblk) return ORU_E_HANDLERAW;
    if (dir == Direction::kRead)
        return raw_read(h->lblk, range.offset, length, buffer, oru::SlotOut(rawerror)) == -1
                   ? ORU_E_RAW_READ
                   : ORU_OK;
    return raw_write(h->lblk, range.offset, length, buffer, oru::SlotOut(rawerror)) == -1
               ? ORU_E_RAW_WRITE
               : ORU_OK;
}

oruError transfer(oruDiskLibHandle handle, const oruDiskLibVolume *volume, uint64_t start_sector,
                  uint64_t num_sectors, void *buffer, Direction dir) {
    if (!handle) return ORU_E_PARAMS;
    oruDiskLibInHandle *h = in_handle(handle);
    ByteRange range{};
    if (oruError rc = byte_range(volume, start_sector, num_sectors, &range); rc != ORU_OK)
        return rc;
    if (!buffer && range.length != 0) return ORU_E_PARAMS;
    const bool read = dir == Direction::kRead;
    switch (h->flag) {
    case ORU_TRANSPORT_LOCAL:
        return local_transfer(h, volume, dir, range, buffer);
    case ORU_TRANSPORT_NBD:
        return read ? remote_nbd_read(h, range.offset, range.length, buffer)
                    : remote_nbd_write(h, range.offset, range.length, buffer);
    case ORU_TRANSPORT_ISCSI:
        return read ? remote_iscsi_read(h, range.offset, range.length, buffer)
                    : remote_iscsi_write(h, range.offset, range.length, buffer);
    default:
        return ORU_E_TRANS;
    }
}

oruError header_transfer(oruDiskLibHandle handle, const oruDiskLibVolume *volume, void *buffer,
                         Direction dir) {
    if (!handle || !volume) return ORU_E_PARAMS;
    if (volume->diskFormat != ORU_LUKS) return ORU_E_FORMAT;
    if (!buffer) return ORU_E_PARAMS;
    oruDiskLibInHandle *h = in_handle(handle);
    const bool read = dir == Direction::kRead;
    switch (h->flag) {
    case ORU_TRANSPORT_LOCAL:
        if (!h->lblk) return ORU_E_HANDLERAW;
        if (read)
            return raw_read(h->lblk, 0, kLuksHeaderBytes, buffer, oru::SlotOut(rawerror)) == -1
                       ? ORU_E_RAW_READ
                       : ORU_OK;
        return raw_write(h->lblk, 0, kLuksHeaderBytes, buffer, oru::SlotOut(rawerror)) == -1
                   ? ORU_E_RAW_WRITE
                   : ORU_OK;
    case ORU_TRANSPORT_NBD:
        return read ? remote_nbd_header_get(h, buffer) : remote_nbd_header_set(h, buffer);
    case ORU_TRANSPORT_ISCSI:
        // The LUN itself holds the header region; there is no raw handle here.
        return read ? remote_iscsi_header_get(h, buffer) : remote_iscsi_header_set(h, buffer);
    default:
        return ORU_E_TRANS;
    }
}

// Releases whatever engine record the handle holds, whatever format the
// descriptor names now, so that a mismatched descriptor cannot leak one.
// A writable qcow2 image is flushed to stable storage on close: when that
// fails the data may not be durable, and the caller must hear of it.
oruError close_local(oruDiskLibInHandle *h) {
    if (!h->qblk && !h->lblk) return ORU_E_CLOSE; // nothing open: never opened, failed, or closed
    oruError rc = ORU_OK;
    if (h->qblk) {
        if (qcow2_close(&h->qblk) != 0) {
            oru::set_slot(qcowerror, kFlushFailed);
            rc = ORU_E_QCOW_WRITE;
        }
        h->qblk = nullptr;
    }
    if (h->lblk) {
        raw_close(h->lblk);
        delete h->lblk;
        h->lblk = nullptr;
    }
    return rc;
}

} // namespace

ORU_EXPORT oruError oruDiskLib_Open(const oruDiskLibVolume *volume, int openFlag,
                                    const char *transportMode, bool isRemote,
                                    oruDiskLibHandle Handle, oruDiskLibConnection connection) {
    return oru::api_call([&]() -> oruError {
        clean_log_dir_timed();
        if (!volume || !Handle) return ORU_E_PARAMS;
        if (!is_known_mode(transportMode)) return ORU_E_TRANS;
        oruDiskLibInHandle *h = in_handle(Handle);
        release_previous_volume(h);
        if (!isRemote) return open_local(h, volume, openFlag);
        return open_remote(h, volume, openFlag, transportMode, in_connection(connection));
    });
}

ORU_EXPORT oruError oruDiskLib_Read(const oruDiskLibHandle diskhandle,
                                    const oruDiskLibVolume *volume,
                                    oruDiskLibSectorType startSector,
                                    oruDiskLibSectorType numSectors, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return transfer(diskhandle, volume, startSector, numSectors, buffer, Direction::kRead);
    });
}

ORU_EXPORT oruError oruDiskLib_Write(const oruDiskLibHandle diskhandle,
                                     const oruDiskLibVolume *volume,
                                     oruDiskLibSectorType startSector,
                                     oruDiskLibSectorType numSectors, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return transfer(diskhandle, volume, startSector, numSectors, buffer, Direction::kWrite);
    });
}

ORU_EXPORT oruError oruDiskLib_Header_get(const oruDiskLibHandle diskhandle,
                                          const oruDiskLibVolume *volume, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return header_transfer(diskhandle, volume, buffer, Direction::kRead);
    });
}

ORU_EXPORT oruError oruDiskLib_Header_set(const oruDiskLibHandle diskhandle,
                                          const oruDiskLibVolume *volume, void *buffer) {
    return oru::api_call([&]() -> oruError {
        return header_transfer(diskhandle, volume, buffer, Direction::kWrite);
    });
}

ORU_EXPORT oruError oruDiskLib_Close(oruDiskLibHandle diskhandle, const oruDiskLibVolume *volume) {
    return oru::api_call([&]() -> oruError {
        if (!diskhandle) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(diskhandle);
        switch (h->flag) {
        case ORU_TRANSPORT_LOCAL:
            if (!volume) return ORU_E_PARAMS;
            return close_local(h);
        case ORU_TRANSPORT_NBD:
            return remote_nbd_close(h);
        case ORU_TRANSPORT_ISCSI:
            return remote_iscsi_close(h);
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
