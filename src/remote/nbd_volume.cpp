// Remote volumes over NBD: the attach after the prologue (host selection, one
// session renewal, connect as soon as the export accepts, size), then reads,
// writes, zeroing, flushing and LUKS header access over the connection, and
// the close (which flushes a write-back handle first).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <libnbd.h>

#include "core/last_error.h"
#include "mgmt/mgmt.h"
#include "remote/nbd_io.h"
#include "remote/transport.h"
#include "util/net_deadline.h"

namespace {

// The host agent may answer before its NBD server listens. Rather than wait
// a fixed time (too long for an export that is ready, too short for a slow
// one), the connect is tried at once and, while it is refused, again after
// a pause that grows to kLongestPause, until ORU_NET_TIMEOUT passes.
constexpr std::chrono::milliseconds kFirstPause{50};
constexpr std::chrono::milliseconds kLongestPause{250};
constexpr uint64_t kLuksHeaderBytes = 1052672;

// The adapter writes its reason into a buffer of the calling thread; only
// then is it published to nbderror, the thread's own text and the log.
using NbdText = char[sizeof nbderror];

void log_nbd(oruDiskLibInHandle *h, const char *what, const char *text) {
    oru::set_nbderror(text);
    oruDiskLib_Log(h->log, const_cast<char *>(what), const_cast<char *>(text));
}

oruError select_host(oruDiskLibInHandle *h, oruDiskLibInConnection *conn,
                     const oruDiskLibVolume *volume, const char *open_mode) {
    return oruDiskLib_SelectHost(reinterpret_cast<oruDiskLibHandle>(h),
                                 reinterpret_cast<oruDiskLibConnection>(conn), volume,
                                 const_cast<char *>(open_mode));
}

// The server said the session expired: log in again with the connection's
// user and password. The connection keeps its previous session id unless a
// new one arrives.
oruError renew_session(oruDiskLibInConnection *conn) {
    // A connection built from an access key has no password to log in with.
    if (!conn->username || !conn->password) return ORU_E_PARAMS;
    oru::mgmt::LoginReply reply;
    int rc = oru::mgmt::login(conn->ip, conn->username, conn->password, &reply);
    if (rc != ORU_OK) return static_cast<oruError>(rc);
    if (reply.error_reply || reply.session_id.empty()) return ORU_E_POST;
    char *session = strdup(reply.session_id.c_str());
    if (!session) return ORU_E_MALLOC;
    free(conn->sessionid);
    conn->sessionid = session;
    return ORU_OK;
}

// Connects to the export once it listens. Only a refused connection is
// tried again: a server that accepts and then fails or says nothing has
// given its answer (the adapter bounds each attempt by ORU_NET_TIMEOUT).
int connect_when_listening(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, char *text) {
    oru::net::Deadline deadline;
    auto pause = kFirstPause;
    for (;;) {
        if (sdk_img_conn(&h->rblk, h->ip, h->port, volume->volumeUuid, text) == 0) return 0;
        if (errno != ECONNREFUSED || deadline.remaining_ms() <= pause.count()) return -1;
        char ignored[sizeof nbderror];
        sdk_disconn(&h->rblk, ignored); // a refused handle holds no session
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

oruError attach(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, const char *open_mode,
                oruDiskLibInConnection *conn) {
    // From here on the handle is an NBD handle: a close after a failed attach
    // takes the NBD close, which releases only what exists and closes the log.
    h->flag = ORU_TRANSPORT_NBD;
    if (h->rblk) { // left behind by an earlier open that was never closed
        char ignored[sizeof nbderror];
        sdk_disconn(&h->rblk, ignored);
    }
    oruError rc = select_host(h, conn, volume, open_mode);
    if (rc == ORU_E_TIMEOUT) {
        rc = renew_session(conn);
        if (rc != ORU_OK) return rc;
        rc = select_host(h, conn, volume, open_mode);
    }
    // Only a selection that succeeded has stored the address and port to use.
    if (rc != ORU_OK) return rc;
    if (!h->ip || !h->port) return ORU_E_NBD_EXPORT;

    oruError result = ORU_OK;
    NbdText text = "";
    if (connect_when_listening(h, volume, text) != 0) {
        log_nbd(h, "open failed:", text);
        h->statu = ORU_E_REMOTE_READ;
        result = ORU_E_REMOTE_OPEN;
    }
    // Asked even after a failed connect, so the log shows both failures.
    if (sdk_img_size(h->rblk, &h->size, text) != 0) {
        log_nbd(h, "open failed:", text);
        h->statu = ORU_E_REMOTE_READ;
        result = ORU_E_REMOTE_OPEN;
    }
    return result;
}

// Transfers are cut at the export's end; one that starts at or past the end
// moves nothing. Returns the length to transfer.
uint64_t clamp_to_export(const oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    if (offset >= h->size) return 0;
    return length > h->size - offset ? h->size - offset : length;
}

oru::nbd::Durability durability(const oruDiskLibInHandle *h) {
    return is_writeback(h->open_flag) ? oru::nbd::Durability::writeback
                                      : oru::nbd::Durability::each_call;
}

} // namespace

oruError remote_nbd_attach(oruDiskLibInHandle *h, const oruDiskLibVolume *volume,
                           const char *openMode, oruDiskLibInConnection *conn) {
    if (!h || !volume || !openMode || !conn) return ORU_E_PARAMS;
    try {
        return attach(h, volume, openMode, conn);
    } catch (...) {
        return ORU_E_MALLOC;
    }
}

oruError remote_nbd_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    length = clamp_to_export(h, offset, length);
    // Nothing to move: an empty NBD request would only be refused by libnbd.
    if (length == 0) return ORU_OK;
    NbdText text = "";
    if (sdk_img_read(h->rblk, buffer, length, offset, text) != 0) {
        log_nbd(h, "read failed:", text);
        h->statu = ORU_E_REMOTE_READ;
        return ORU_E_REMOTE_READ;
    }
    return ORU_OK;
}

oruError remote_nbd_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    length = clamp_to_export(h, offset, length);
    if (length == 0) return ORU_OK;
    NbdText text = "";
    if (oru::nbd::write(h->rblk, buffer, length, offset, durability(h), text) != 0) {
        log_nbd(h, "write failed:", text);
        h->statu = ORU_E_REMOTE_WRITE;
        return ORU_E_REMOTE_WRITE;
    }
    return ORU_OK;
}

oruError remote_nbd_header_get(oruDiskLibInHandle *h, void *buffer) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    NbdText text = "";
    if (sdk_img_read(h->rblk, buffer, kLuksHeaderBytes, 0, text) != 0) {
        log_nbd(h, "get luks hearder failed:", text);
        h->statu = ORU_E_REMOTE_READ;
        return ORU_E_REMOTE_READ;
    }
    return ORU_OK;
}

oruError remote_nbd_header_set(oruDiskLibInHandle *h, void *buffer) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    NbdText text = "";
    if (oru::nbd::write(h->rblk, buffer, kLuksHeaderBytes, 0, durability(h), text) != 0) {
        log_nbd(h, "write luks header failed:", text);
        h->statu = ORU_E_REMOTE_WRITE;
        return ORU_E_REMOTE_WRITE;
    }
    return ORU_OK;
}

oruError remote_nbd_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    // The entry point refuses ranges past the end; a shorter export (it
    // can only shrink under us) is cut as writes are.
    length = clamp_to_export(h, offset, length);
    if (length == 0) return ORU_OK;
    NbdText text = "";
    if (oru::nbd::zero(h->rblk, length, offset, durability(h), text) == 0) return ORU_OK;
    log_nbd(h, "write zeroes failed:", text);
    h->statu = ORU_E_REMOTE_WRITE;
    return ORU_E_REMOTE_WRITE;
}

oruError remote_nbd_flush(oruDiskLibInHandle *h) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    // A reader has nothing to make durable (and a read-only export may
    // refuse the command).
    if (open_access(h->open_flag) == ORU_RO || nbd_is_read_only(h->rblk) == 1) return ORU_OK;
    NbdText text = "";
    if (oru::nbd::flush(h->rblk, text) != 0) {
        log_nbd(h, "flush failed:", text);
        h->statu = ORU_E_REMOTE_WRITE;
        return ORU_E_REMOTE_WRITE;
    }
    return ORU_OK;
}

oruError remote_nbd_close(oruDiskLibInHandle *h) {
    if (!h) return ORU_E_PARAMS;
    // Writes of a write-back handle become durable here at the latest. A
    // failed flush is reported, but the connection is released all the
    // same: after a failed flush the server's state is unknown, and
    // flushing again could not tell what was lost.
    oruError flushed = ORU_OK;
    if (h->rblk && is_writeback(h->open_flag) && nbd_aio_is_ready(h->rblk) == 1)
        flushed = remote_nbd_flush(h);
    // After a failed attach there may be no NBD handle: nothing to release.
    if (h->rblk) {
        NbdText text = "";
        if (sdk_disconn(&h->rblk, text) != 0) {
            log_nbd(h, "closed failed:", text); // the log stays open for a retry
            return ORU_E_REMOTE_CLOSE;
        }
        oruDiskLib_Log(h->log, const_cast<char *>("closed success:"), const_cast<char *>("nbd"));
    }
    if (h->log) {
        fclose(h->log);
        h->log = nullptr;
    }
    free(h->ip);
    h->ip = nullptr;
    free(h->port);
    h->port = nullptr;
    return flushed;
}

namespace {

// The export's own facts. Reads and writes are split at its maximum block,
// so the library's request limit stands (max_request 0). FAST_ZERO follows
// NBD_CMD_WRITE_ZEROES (nbd_can_zero), not the stricter fast-zero flag:
// zeroing then sends no data, which is what a caller choosing between
// WriteZeroes and writing zeros itself needs to know; qemu-nbd and nbdkit
// turn it into holes or zero clusters wherever the image can.
oruError nbd_volume_info(oruDiskLibInHandle *h, DeviceInfo *info) {
    if (!h->rblk) return ORU_E_HANDLENBD;
    const oru::nbd::BlockSizes sizes = oru::nbd::block_sizes(h->rblk);
    auto narrow = [](uint64_t v) {
        return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
    };
    info->size = h->size;
    info->min_block = narrow(std::max<uint64_t>(sizes.minimum, 512));
    info->preferred_block = narrow(std::max<uint64_t>(sizes.preferred, info->min_block));
    info->max_request = 0;
    info->flags = 0;
    if (nbd_can_meta_context(h->rblk, LIBNBD_CONTEXT_BASE_ALLOCATION) == 1)
        info->flags |= ORU_INFO_EXTENTS;
    if (nbd_can_flush(h->rblk) == 1) info->flags |= ORU_INFO_CAN_FLUSH;
    if (nbd_can_zero(h->rblk) == 1) info->flags |= ORU_INFO_FAST_ZERO;
    if (open_access(h->open_flag) == ORU_RO || nbd_is_read_only(h->rblk) == 1)
        info->flags |= ORU_INFO_READ_ONLY;
    // The transport carries dirty bitmaps as meta contexts; whether this
    // export offers any takes a connection of its own to ask (ListBitmaps),
    // which an info call, made before every extents query, must not cost.
    info->flags |= ORU_INFO_BITMAPS;
    return ORU_OK;
}

} // namespace

const VolumeOps kNbdVolumeOps = {
    .name = "nbd",
    .read = remote_nbd_read,
    .write = remote_nbd_write,
    .zero = remote_nbd_zero,
    .flush = remote_nbd_flush,
    .extents = remote_nbd_extents,
    .info = nbd_volume_info,
    .header_get = remote_nbd_header_get,
    .header_set = remote_nbd_header_set,
    .close = remote_nbd_close,
    .list_bitmaps = remote_nbd_list_bitmaps,
    .changed_extents = remote_nbd_changed_extents,
};
