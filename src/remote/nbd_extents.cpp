// Extents of an NBD volume: the export's "base:allocation" block status,
// asked for at connect time (sdk_img_conn). A run flagged "reads as zeros"
// is zero, whether or not it is a hole; a hole without that flag may read as
// anything and is data. An export that did not agree to the context (or a
// server without structured replies) is one data extent. The same walk reads
// a "qemu:dirty-bitmap:" context (nbd_bitmaps.cpp), where a clear bit 0 is
// reported as "zero" (unchanged).
//
// Each request waits like the adapter's reads: at most ORU_NET_TIMEOUT
// seconds of silence, after which the query fails and the connection is cut,
// so later calls on the volume fail at once and the close only releases it.
#include <libnbd.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "core/last_error.h"
#include "remote/nbd_wait.h"
#include "remote/transport.h"
#include "util/bounded_copy.h"

namespace {

// One block status request covers at most this much: the length field of a
// request is 32 bits, and servers answer large requests in part anyway.
constexpr uint64_t kMaxStatusRequest = uint64_t{1} << 31;

// What one block status request has described so far.
struct StatusReply {
    const char *context;
    bool dirty_bitmap; // bit 0 set means changed, not "reads as zeros"
    oru_extent_fn fn;
    void *opaque;
    uint64_t position; // next byte to describe
    uint64_t end;      // end of the request
    bool stop = false; // the receiver has enough
};

int on_extents(void *user_data, const char *context, uint64_t offset, uint32_t *entries,
               size_t nr_entries, int *) {
    auto *reply = static_cast<StatusReply *>(user_data);
    if (reply->stop || std::string_view(context) != reply->context) return 0;
    // Entries are (length, flags) pairs, consecutive from `offset`.
    uint64_t at = offset;
    for (size_t i = 0; i + 1 < nr_entries && !reply->stop; i += 2) {
        const uint64_t from = std::max(at, reply->position);
        at += entries[i];
        const uint64_t to = std::min(at, reply->end);
        if (from != reply->position || to <= from) continue; // not contiguous: left to the caller
        const bool zero = reply->dirty_bitmap ? (entries[i + 1] & 1) == 0
                                              : (entries[i + 1] & LIBNBD_STATE_ZERO) != 0;
        reply->stop = reply->fn(reply->opaque, from, to - from, zero ? 1 : 0) != 0;
        reply->position = to;
    }
    return 0;
}

// `reason` holds the wait's account when it gave up, else libnbd is asked.
oruError status_failed(oruDiskLibInHandle *h, const char *reason = nullptr) {
    const char *text = reason ? reason : nbd_get_error();
    oru::set_nbderror(text ? text : "block status failed");
    oruDiskLib_Log(h->log, const_cast<char *>("block status failed:"),
                   const_cast<char *>(text ? text : "block status failed"));
    h->statu = ORU_E_REMOTE_READ;
    return ORU_E_REMOTE_READ;
}

// One block status request, answered within the limit. The reply lives on
// until the command is retired: a cut connection retires it at once.
oruError block_status(oruDiskLibInHandle *h, nbd_handle *nbd, uint64_t count, uint64_t offset,
                      StatusReply &reply) {
    nbd_extent_callback callback{on_extents, &reply, nullptr};
    const int64_t cookie =
        nbd_aio_block_status(nbd, count, offset, callback, NBD_NULL_COMPLETION, 0);
    if (cookie == -1) return status_failed(h);
    oru::nbd::Limit limit;
    for (;;) {
        const int done = nbd_aio_command_completed(nbd, cookie);
        if (done == 1) return ORU_OK;
        if (done == -1) return status_failed(h);
        char reason[sizeof nbderror] = "";
        if (oru::nbd::wait_for_progress(nbd, limit, "block status", reason, false) <= 0)
            return status_failed(h, reason);
    }
}

} // namespace

oruError remote_nbd_block_status(oruDiskLibInHandle *h, nbd_handle *nbd, const char *context,
                                 bool dirty_bitmap, uint64_t offset, uint64_t length,
                                 oru_extent_fn fn, void *opaque) {
    if (offset >= h->size) return ORU_OK;
    const uint64_t end = offset + std::min(length, h->size - offset);
    // Requests start and end on the export's minimum block (libnbd refuses
    // others); what lies before `position` in a reply is skipped.
    const int64_t min_block = nbd_get_block_size(nbd, LIBNBD_SIZE_MINIMUM);
    const uint64_t align = min_block > 0 ? static_cast<uint64_t>(min_block) : 1;
    uint64_t position = offset;
    while (position < end) {
        const uint64_t request = position - position % align;
        StatusReply reply{context, dirty_bitmap, fn,
                          opaque,  position,     std::min(end, request + kMaxStatusRequest)};
        uint64_t count = reply.end - request;
        if (count % align != 0) count = std::min(count + align - count % align, h->size - request);
        if (oruError rc = block_status(h, nbd, count, request, reply); rc != ORU_OK) return rc;
        if (reply.stop) return ORU_OK;
        // A reply that describes nothing cannot be trusted to do better
        // next time: the rest of the request is data.
        if (reply.position == position) {
            if (fn(opaque, position, reply.end - position, 0) != 0) return ORU_OK;
            reply.position = reply.end;
        }
        position = reply.position;
    }
    return ORU_OK;
}

oruError remote_nbd_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                            oru_extent_fn fn, void *opaque) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    if (offset >= h->size) return ORU_OK;
    const int described = nbd_can_meta_context(h->rblk, LIBNBD_CONTEXT_BASE_ALLOCATION);
    if (described == -1) return status_failed(h); // no connection to ask
    if (described == 0) {
        fn(opaque, offset, std::min(length, h->size - offset), 0);
        return ORU_OK;
    }
    return remote_nbd_block_status(h, h->rblk, LIBNBD_CONTEXT_BASE_ALLOCATION, false, offset,
                                   length, fn, opaque);
}
