// NBD adapter: the six rwimage1 calls over libnbd. Each call makes one or two
// libnbd requests and reduces the outcome to 0 / -1, leaving libnbd's text in
// the caller's 100-byte error buffer (the volume layer passes nbderror).
#include <libnbd.h>

#include <algorithm>
#include <deque>

#include "core/export.h"
#include "rwimage1.h"
#include "util/bounded_copy.h"

namespace {

// Every caller hands us nbderror (char[100]); libnbd's texts have no bound.
constexpr size_t kErrorRoom = 100;

// Longer texts are cut to 99 bytes so the terminator always fits.
void put_error(char *error, const char *text) {
    oru::bounded_copy(error, kErrorRoom, text ? text : "unknown libnbd error");
}

void put_nbd_error(char *error) { put_error(error, nbd_get_error()); }

constexpr size_t kSectorMask = 511;

// qemu-nbd serves large requests far more slowly than a stream of small ones
// (each is read whole into a bounce buffer before any of it is sent), so a
// large read goes out as a few 256 KiB commands in flight on the one
// connection. The caller still sees one read that succeeds or fails whole.
constexpr size_t kReadChunk = 256 * 1024;
constexpr size_t kReadsInFlight = 4;

int pread_in_chunks(struct nbd_handle *nbd, void *buf, size_t count, uint64_t offset,
                    char *error) {
    std::deque<int64_t> in_flight; // oldest first
    size_t submitted = 0;
    int rc = 0;
    for (;;) {
        while (rc == 0 && submitted < count && in_flight.size() < kReadsInFlight) {
            size_t n = std::min(kReadChunk, count - submitted);
            int64_t cookie = nbd_aio_pread(nbd, static_cast<char *>(buf) + submitted, n,
                                           offset + submitted, NBD_NULL_COMPLETION, 0);
            if (cookie == -1) {
                put_nbd_error(error);
                rc = -1;
                break;
            }
            in_flight.push_back(cookie);
            submitted += n;
        }
        if (in_flight.empty()) return rc;
        int done = nbd_aio_command_completed(nbd, in_flight.front());
        if (done == 0) {
            // A dead connection retires every command: nothing writes to buf later.
            if (nbd_poll(nbd, -1) == -1) {
                if (rc == 0) put_nbd_error(error);
                return -1;
            }
            continue;
        }
        if (done == -1 && rc == 0) {
            put_nbd_error(error);
            rc = -1;
        }
        in_flight.pop_front();
    }
}

} // namespace

ORU_EXPORT int sdk_img_conn(struct nbd_handle **nbd, char *ip, char *port, char *name,
                            char *error) {
    if (!nbd) return -1;
    *nbd = nbd_create();
    if (!*nbd) return -1;
    nbd_set_export_name(*nbd, name ? name : "");
    // Block status (oruDiskLib_QueryExtents) needs the context agreed on at
    // connect time; a server that does not know it simply leaves it out.
    nbd_add_meta_context(*nbd, LIBNBD_CONTEXT_BASE_ALLOCATION);
    if (!ip || !port) {
        put_error(error, "nbd server address or port missing");
        return -1;
    }
    if (nbd_connect_tcp(*nbd, ip, port) == -1) {
        // The handle stays in the slot: sdk_disconn releases it.
        put_nbd_error(error);
        return -1;
    }
    return 0;
}

ORU_EXPORT int sdk_img_size(struct nbd_handle *nbd, uint64_t *size, char *error) {
    if (!nbd || !size) return -1;
    int64_t r = nbd_get_size(nbd);
    *size = static_cast<uint64_t>(r);
    if (r == -1) {
        put_nbd_error(error);
        return -1;
    }
    return 0;
}

ORU_EXPORT int sdk_img_detect(struct nbd_handle *, size_t, uint64_t) { return 1; }

ORU_EXPORT int sdk_img_read(struct nbd_handle *nbd, void *buf, size_t count, uint64_t offset,
                            char *error) {
    if ((count & kSectorMask) != 0) {
        put_error(error, "buffer need to be aligned with 512");
        return -1;
    }
    if (!nbd) {
        put_error(error, "handle is NULL");
        return -1;
    }
    if (count > kReadChunk) return pread_in_chunks(nbd, buf, count, offset, error);
    if (nbd_pread(nbd, buf, count, offset, 0) == -1) {
        put_nbd_error(error);
        return -1;
    }
    return 0;
}

ORU_EXPORT int sdk_img_write(struct nbd_handle *nbd, const void *buf, size_t count,
                             uint64_t offset, char *error) {
    if (!nbd) {
        put_error(error, "handle is NULL");
        return -1;
    }
    // A failed query (-1) is left for the write itself to report.
    if (nbd_is_read_only(nbd) == 1) {
        put_error(error, "nbd is read only");
        return -1;
    }
    // Forced unit access: the server commits each write before it replies,
    // so a backup that sees success has its data on stable storage.
    if (nbd_pwrite(nbd, buf, count, offset, LIBNBD_CMD_FLAG_FUA) == -1) {
        put_nbd_error(error);
        return -1;
    }
    return 0;
}

ORU_EXPORT int sdk_disconn(struct nbd_handle **nbd, char *error) {
    if (!nbd || !*nbd) return -1;
    // Only a connected handle has a session to shut down. One whose connect
    // failed (dead) or never ran would refuse the shutdown forever, and
    // refusing to release it would leak it for good.
    bool has_session = nbd_aio_is_ready(*nbd) == 1 || nbd_aio_is_processing(*nbd) == 1;
    if (has_session && nbd_shutdown(*nbd, 0) == -1) {
        put_nbd_error(error);
        return -1;
    }
    nbd_close(*nbd);
    *nbd = nullptr; // a second disconnect finds an empty slot
    return 0;
}
