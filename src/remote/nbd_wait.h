// The bounded wait and the connect of the NBD adapter, shared with the
// other code that sends commands on an adapter's connection (block status)
// or opens one of its own (dirty bitmaps). Every command
// waits through wait_for_progress, so that a server that falls silent costs
// at most ORU_NET_TIMEOUT seconds and leaves the connection cut, whatever
// the command was.
#pragma once

#include <chrono>

#include "util/net_deadline.h"

struct nbd_handle;

namespace oru::nbd {

// A limit of ORU_NET_TIMEOUT seconds from now, with its length kept for the
// error text.
struct Limit {
    int seconds = oru::net::timeout_seconds();
    oru::net::Deadline deadline{std::chrono::seconds(seconds)};
    void restart() { deadline = oru::net::Deadline(std::chrono::seconds(seconds)); }
};

// Lets libnbd move data for at most what is left of the limit. Returns 1
// after progress (the limit starts again), 0 when the limit passed (the
// connection is cut and error, a 100-byte buffer, says that `step` timed
// out), -1 when the connection failed (error holds libnbd's text unless
// `keep` says it already holds one).
int wait_for_progress(struct nbd_handle *nbd, Limit &limit, const char *step, char *error,
                      bool keep);

// One connect attempt to ip:port: the TCP connection and the handshake, each
// within ORU_NET_TIMEOUT. 0 once the handle is ready (or negotiating, in
// option mode); -1 with errno set and the reason in error (100 bytes),
// ECONNREFUSED when nothing listened yet.
int connect_export(struct nbd_handle *nbd, const char *ip, const char *port, char *error);

} // namespace oru::nbd
