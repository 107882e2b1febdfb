// Change-tracking bitmaps of an NBD volume: the export's
// "qemu:dirty-bitmap:NAME" meta contexts, as qemu's NBD server offers the
// persistent bitmaps it was told to export (qemu-nbd -B NAME).
//
// A meta context is agreed on when the export is chosen, and the volume's
// own connection chose only "base:allocation". Each listing and each query
// therefore opens a second connection to the same address, port and export
// name, used once and closed: a listing stops in option mode and asks
// NBD_OPT_LIST_META_CONTEXT, a query asks for the one context and reads its
// block status. Every step waits at most ORU_NET_TIMEOUT, like the volume's
// own connection.
//
// What the export cannot say: a bitmap's granularity (reported as 0) and
// whether it is still recording writes (ORU_BITMAP_ENABLED is never set).
// qemu refuses to export an inconsistent bitmap, so an offered one is never
// ORU_BITMAP_INCONSISTENT.
#include <libnbd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "remote/nbd_wait.h"
#include "remote/transport.h"
#include "util/bounded_copy.h"

namespace {

constexpr char kBitmapContextPrefix[] = "qemu:dirty-bitmap:";
constexpr size_t kBitmapPrefixLength = sizeof kBitmapContextPrefix - 1;

// Ends a second connection: an option-mode handle is told that no export
// will be chosen, a ready one is disconnected; either way within the limit,
// and the handle is released whatever the server does.
struct PeerCloser {
    void operator()(nbd_handle *nbd) const {
        char ignored[sizeof nbderror];
        if (nbd_aio_is_negotiating(nbd) == 1 && nbd_aio_opt_abort(nbd) == 0) {
            oru::nbd::Limit limit;
            while (nbd_aio_is_closed(nbd) == 0 && nbd_aio_is_dead(nbd) == 0)
                if (oru::nbd::wait_for_progress(nbd, limit, "abort", ignored, false) <= 0) break;
        } else if (nbd_aio_is_ready(nbd) == 1) {
            if (sdk_disconn(&nbd, ignored) == 0) return; // released
        }
        nbd_close(nbd);
    }
};
using Peer = std::unique_ptr<nbd_handle, PeerCloser>;

using Reason = char[sizeof nbderror];

// Publishes text to nbderror and the calling thread's failure text, and logs it.
oruError fail(oruDiskLibInHandle *h, const char *what, const char *text) {
    if (!text || !*text) text = "NBD request failed";
    oru::set_nbderror(text);
    oruDiskLib_Log(h->log, const_cast<char *>(what), const_cast<char *>(text));
    h->statu = ORU_E_REMOTE_READ;
    return ORU_E_REMOTE_READ;
}

// A second connection to the volume's export, asking for `context` (when
// not null), stopped in option mode when `options` says so. Null with the
// reason in `reason`.
Peer connect_peer(oruDiskLibInHandle *h, const char *context, bool options, Reason &reason) {
    Peer peer(nbd_create());
    if (!peer) {
        oru::bounded_copy(reason, sizeof reason, nbd_get_error());
        return {};
    }
    std::unique_ptr<char, decltype(&std::free)> name(nbd_get_export_name(h->rblk), &std::free);
    if (!name || nbd_set_export_name(peer.get(), name.get()) == -1 ||
        (context && nbd_add_meta_context(peer.get(), context) == -1) ||
        (options && nbd_set_opt_mode(peer.get(), true) == -1)) {
        oru::bounded_copy(reason, sizeof reason, nbd_get_error());
        return {};
    }
    if (oru::nbd::connect_export(peer.get(), h->ip, h->port, reason) != 0) return {};
    return peer;
}

struct Listing {
    std::vector<std::string> names;
    bool done = false;
    int error = 0;
};

int on_context(void *user_data, const char *context) {
    auto *listing = static_cast<Listing *>(user_data);
    if (std::strncmp(context, kBitmapContextPrefix, kBitmapPrefixLength) == 0 &&
        context[kBitmapPrefixLength] != '\0')
        listing->names.emplace_back(context + kBitmapPrefixLength);
    return 0;
}

int on_listed(void *user_data, int *error) {
    auto *listing = static_cast<Listing *>(user_data);
    listing->done = true;
    listing->error = *error;
    return 1;
}

// The bitmap names the export offers, in the server's order.
oruError list_names(oruDiskLibInHandle *h, std::vector<std::string> *names) {
    if (!h || !h->rblk || !h->ip || !h->port) return ORU_E_HANDLENBD;
    Reason reason = "";
    Peer peer = connect_peer(h, kBitmapContextPrefix, true, reason);
    if (!peer) return fail(h, "list bitmaps failed:", reason);
    if (nbd_aio_is_negotiating(peer.get()) != 1) {
        // An old-style server has no options to ask: it offers no contexts.
        return ORU_OK;
    }
    Listing listing;
    if (nbd_aio_opt_list_meta_context(peer.get(), {on_context, &listing, nullptr},
                                      {on_listed, &listing, nullptr}) == -1)
        return fail(h, "list bitmaps failed:", nbd_get_error());
    oru::nbd::Limit limit;
    while (!listing.done)
        if (oru::nbd::wait_for_progress(peer.get(), limit, "list meta contexts", reason, false) <=
            0)
            return fail(h, "list bitmaps failed:", reason);
    // A server that cannot list contexts (no structured replies) offers no
    // bitmap either: an empty list, not a failure.
    if (listing.error == 0) *names = std::move(listing.names);
    return ORU_OK;
}

} // namespace

oruError remote_nbd_list_bitmaps(oruDiskLibInHandle *h, oruDiskLibBitmapInfo *bitmaps,
                                 uint32_t max_bitmaps, uint32_t *num_bitmaps) {
    std::vector<std::string> names;
    if (oruError rc = list_names(h, &names); rc != ORU_OK) return rc;
    *num_bitmaps = static_cast<uint32_t>(names.size());
    for (uint32_t i = 0; i < max_bitmaps && i < names.size(); ++i) {
        bitmaps[i] = {};
        oru::bounded_copy(bitmaps[i].name, sizeof bitmaps[i].name, names[i].c_str());
    }
    return ORU_OK;
}

oruError remote_nbd_changed_extents(oruDiskLibInHandle *h, const char *name, uint64_t offset,
                                    uint64_t length, oru_extent_fn fn, void *opaque) {
    if (!h || !h->rblk || !h->ip || !h->port) return ORU_E_HANDLENBD;
    const std::string context = std::string(kBitmapContextPrefix) + name;
    Reason reason = "";
    Peer peer = connect_peer(h, context.c_str(), false, reason);
    if (!peer) return fail(h, "changed extents failed:", reason);
    // An export that did not agree to the context has no such bitmap for
    // us: saying "unchanged" would drop data from an incremental backup.
    if (nbd_can_meta_context(peer.get(), context.c_str()) != 1) {
        std::string text = "NBD export offers no dirty bitmap \"" + std::string(name) + "\"";
        return fail(h, "changed extents failed:", text.c_str());
    }
    const int64_t size = nbd_get_size(peer.get());
    if (size < 0 || static_cast<uint64_t>(size) != h->size)
        return fail(h, "changed extents failed:", "NBD export changed size since the open");
    return remote_nbd_block_status(h, peer.get(), context.c_str(), true, offset, length, fn,
                                   opaque);
}
