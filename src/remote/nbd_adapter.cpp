// NBD adapter: the six rwimage1 calls over libnbd. Each call reduces the
// outcome to 0 / -1, leaving libnbd's text in the caller's 100-byte error
// buffer (the volume layer passes nbderror).
//
// Nothing here may wait on the server without a limit: the connect, every
// command and the disconnect run through libnbd's asynchronous calls and
// wait at most ORU_NET_TIMEOUT seconds (read when the call starts) for the
// server to make progress. A command that gets no answer in that time fails,
// and its connection is cut: a reply arriving later could not be matched to
// anything the caller still holds, so the handle is left dead, later calls
// fail at once, and sdk_disconn only releases it.
#include <libnbd.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "core/export.h"
#include "remote/nbd_wait.h"
#include "rwimage1.h"
#include "util/bounded_copy.h"
#include "util/net_deadline.h"
#include "util/unique_fd.h"

using oru::nbd::Limit;
using oru::nbd::wait_for_progress;
using oru::nbd::connect_export;

namespace {

// Every caller hands us nbderror (char[100]); libnbd's texts have no bound.
constexpr size_t kErrorRoom = 100;

// Longer texts are cut to 99 bytes so the terminator always fits.
void put_error(char *error, const char *text) {
    oru::bounded_copy(error, kErrorRoom, text ? text : "unknown libnbd error");
}

void put_nbd_error(char *error) {
    put_error(error, nbd_get_error());
}

void put_timeout(char *error, const char *step, int seconds) {
    char text[kErrorRoom];
    std::snprintf(text, sizeof text, "%s timed out: no answer from the NBD server within %d s",
                  step, seconds);
    put_error(error, text);
}

constexpr size_t kSectorMask = 511;

// qemu-nbd serves large requests far more slowly than a stream of small ones
// (each is read whole into a bounce buffer before any of it is sent), so a
// large read goes out as 256 KiB commands on the one connection. Enough of
// them stay in flight (8 MiB) to cover the round trip through a relay, so
// the server always has the next one queued; a 32 MiB read keeps them all
// busy for three quarters of its length. The caller still sees one read
// that succeeds or fails whole.
constexpr size_t kReadChunk = 256 * 1024;
constexpr size_t kReadsInFlight = 32;

// Cuts the connection of a handle whose server stopped answering. The shut
// socket reads as the end of the stream, so libnbd retires every command in
// flight (none writes into a caller's buffer afterwards) and the handle
// turns dead.
void cut_connection(struct nbd_handle *nbd) {
    int fd = nbd_aio_get_fd(nbd);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    // A shut socket is ready at once; the bound only guards against a
    // handle that has no socket to wait on.
    for (int round = 0; round < 10; ++round) {
        if (nbd_aio_is_dead(nbd) != 0 || nbd_aio_is_closed(nbd) != 0) return;
        if (nbd_poll(nbd, 1000) == -1) return;
    }
}

// Servers such as qemu-nbd leave Nagle's algorithm on: a small reply (a
// hole, a short read) that follows one we have not acknowledged yet waits
// for our acknowledgement, which the kernel delays by up to 40 ms when we
// have nothing to send, as at the end of every call. Asking for immediate
// acknowledgements before each wait removes that stall. The kernel leaves
// quick-ack mode on its own, hence every time.
void quick_acks(struct nbd_handle *nbd) {
    int fd = nbd_aio_get_fd(nbd);
    int one = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

} // namespace

int oru::nbd::wait_for_progress(struct nbd_handle *nbd, Limit &limit, const char *step, char *error,
                                bool keep) {
    for (;;) {
        quick_acks(nbd);
        int ready = nbd_poll(nbd, limit.deadline.remaining_ms());
        if (ready == -1) {
            if (!keep) put_nbd_error(error);
            // Commands still in flight would go on writing into buffers the
            // caller takes back once this call fails: end the connection so
            // that none of them can complete later.
            cut_connection(nbd);
            return -1;
        }
        if (ready > 0) {
            limit.restart();
            return 1;
        }
        if (limit.deadline.expired()) {
            if (!keep) put_timeout(error, step, limit.seconds);
            cut_connection(nbd);
            errno = ETIMEDOUT;
            return 0;
        }
    }
}

namespace {

// Reads or writes [offset, offset + count): a read as kReadChunk commands,
// up to kReadsInFlight at a time, a write as one command with forced unit
// access (the server commits it before it replies, so a backup that sees
// success has its data on stable storage). Fails whole if any command fails.
int transfer(struct nbd_handle *nbd, void *buf, size_t count, uint64_t offset, bool writing,
             char *error) {
    Limit limit;
    const size_t piece = writing ? std::max<size_t>(count, 1) : kReadChunk;
    const size_t most_in_flight = writing ? 1 : kReadsInFlight;
    // An empty request still goes to libnbd, which refuses it with its text.
    const size_t commands = std::max<size_t>(1, (count + piece - 1) / piece);
    char *data = static_cast<char *>(buf);
    std::deque<int64_t> in_flight;
    size_t submitted = 0, issued = 0;
    int rc = 0;
    for (;;) {
        while (rc == 0 && issued < commands && in_flight.size() < most_in_flight) {
            size_t n = std::min(piece, count - submitted);
            int64_t cookie = writing ? nbd_aio_pwrite(nbd, data + submitted, n, offset + submitted,
                                                      NBD_NULL_COMPLETION, LIBNBD_CMD_FLAG_FUA)
                                     : nbd_aio_pread(nbd, data + submitted, n, offset + submitted,
                                                     NBD_NULL_COMPLETION, 0);
            if (cookie == -1) {
                put_nbd_error(error);
                rc = -1;
                break;
            }
            in_flight.push_back(cookie);
            submitted += n;
            ++issued;
        }
        if (in_flight.empty()) return rc;
        // The server may answer out of order: every finished command frees
        // its slot at once, not only when those before it are done.
        size_t retired = 0;
        for (auto at = in_flight.begin(); at != in_flight.end();) {
            int done = nbd_aio_command_completed(nbd, *at);
            if (done == 0) {
                ++at;
                continue;
            }
            if (done == -1 && rc == 0) {
                put_nbd_error(error);
                rc = -1;
            }
            at = in_flight.erase(at);
            ++retired;
        }
        if (retired != 0) continue;
        // A dead or cut connection retires every command: nothing writes
        // to buf later.
        if (wait_for_progress(nbd, limit, writing ? "write" : "read", error, rc != 0) <= 0)
            return -1;
    }
}

// A TCP connection to ip:port within the limit; empty with errno set (and
// the reason in error) when none could be made.
oru::UniqueFd dial(const char *ip, const char *port, const Limit &limit, char *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(ip, port, &hints, &found);
    if (rc != 0) {
        char text[kErrorRoom];
        std::snprintf(text, sizeof text, "getaddrinfo: %s:%s: %s", ip, port, gai_strerror(rc));
        put_error(error, text);
        errno = EHOSTUNREACH;
        return {};
    }
    int why = ECONNREFUSED;
    oru::UniqueFd sock;
    for (addrinfo *at = found; at && !sock; at = at->ai_next) {
        oru::UniqueFd attempt(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, 0));
        if (!attempt) {
            why = errno;
            continue;
        }
        if (oru::net::connect_within(attempt.get(), at->ai_addr, at->ai_addrlen, limit.deadline) !=
            0) {
            why = errno;
            if (why == ETIMEDOUT) break;
            continue;
        }
        sock = std::move(attempt);
    }
    freeaddrinfo(found);
    if (!sock) {
        if (why == ETIMEDOUT) {
            put_timeout(error, "connect", limit.seconds);
        } else {
            char text[kErrorRoom];
            std::snprintf(text, sizeof text, "connect: %s", std::strerror(why));
            put_error(error, text);
        }
        errno = why;
        return {};
    }
    // Each NBD request is a small write of its own: without this, Nagle's
    // algorithm holds the next one back until the previous is acknowledged.
    int one = 1;
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return sock;
}

} // namespace

// One connect attempt: the TCP connection, then the NBD handshake, both
// within the limit. errno tells the caller why it failed; ECONNREFUSED
// means that nothing listened yet.
int oru::nbd::connect_export(struct nbd_handle *nbd, const char *ip, const char *port,
                             char *error) {
    Limit limit;
    oru::UniqueFd sock = dial(ip, port, limit, error);
    if (!sock) return -1;
    // libnbd owns the socket from here on, even when this fails.
    if (nbd_aio_connect_socket(nbd, sock.release()) == -1) {
        put_nbd_error(error);
        errno = EPROTO;
        return -1;
    }
    while (nbd_aio_is_connecting(nbd) == 1) {
        int progress = wait_for_progress(nbd, limit, "connect", error, false);
        if (progress == 0) return -1;
        if (progress < 0) break;
    }
    // A handle in option mode stops before the export is chosen.
    if (nbd_aio_is_ready(nbd) != 1 && nbd_aio_is_negotiating(nbd) != 1) {
        put_nbd_error(error);
        errno = EPROTO;
        return -1;
    }
    return 0;
}

namespace {

// Asks the server to end the session and waits, within the limit, for it to
// close its side. Writes were committed when they were acknowledged, so a
// server that never closes only costs the wait: the handle is released all
// the same.
int disconnect(struct nbd_handle *nbd, char *error) {
    if (nbd_aio_disconnect(nbd, 0) == -1) {
        put_nbd_error(error);
        return -1;
    }
    Limit limit;
    while (nbd_aio_is_closed(nbd) == 0 && nbd_aio_is_dead(nbd) == 0) {
        int progress = wait_for_progress(nbd, limit, "disconnect", error, false);
        if (progress == 0) return 0;
        if (progress < 0) return -1;
    }
    return 0;
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
        errno = EINVAL;
        return -1;
    }
    // On failure the handle stays in the slot: sdk_disconn releases it.
    return connect_export(*nbd, ip, port, error);
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

ORU_EXPORT int sdk_img_detect(struct nbd_handle *, size_t, uint64_t) {
    return 1;
}

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
    return transfer(nbd, buf, count, offset, false, error);
}

ORU_EXPORT int sdk_img_write(struct nbd_handle *nbd, const void *buf, size_t count, uint64_t offset,
                             char *error) {
    if (!nbd) {
        put_error(error, "handle is NULL");
        return -1;
    }
    // A failed query (-1) is left for the write itself to report.
    if (nbd_is_read_only(nbd) == 1) {
        put_error(error, "nbd is read only");
        return -1;
    }
    // libnbd only reads from the buffer of a write.
    return transfer(nbd, const_cast<void *>(buf), count, offset, true, error);
}

ORU_EXPORT int sdk_disconn(struct nbd_handle **nbd, char *error) {
    if (!nbd || !*nbd) return -1;
    // Only a connected handle has a session to shut down. One whose connect
    // failed (dead) or never ran would refuse the shutdown forever, and
    // refusing to release it would leak it for good.
    bool has_session = nbd_aio_is_ready(*nbd) == 1 || nbd_aio_is_processing(*nbd) == 1;
    if (has_session && disconnect(*nbd, error) != 0) return -1;
    nbd_close(*nbd);
    *nbd = nullptr; // a second disconnect finds an empty slot
    return 0;
}
