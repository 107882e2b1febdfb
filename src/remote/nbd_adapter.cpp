// NBD adapter: the six rwimage1 calls over libnbd. Each call reduces the
// outcome to 0 / -1, leaving libnbd's text in the caller's 100-byte error
// buffer (the volume layer passes one of the calling thread's, then publishes
// it to nbderror).
//
// Nothing here may wait on the server without a limit: the connect, every
// command and the disconnect run through libnbd's asynchronous calls and
// wait at most ORU_NET_TIMEOUT seconds (read when the call starts) for the
// server to make progress. A command that gets no answer in that time fails,
// and its connection is cut: a reply arriving later could not be matched to
// anything the caller still holds, so the handle is left dead, later calls
// fail at once, and sdk_disconn only releases it.
#include <libnbd.h>

#include <arpa/inet.h>
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
#include <new>
#include <vector>

#include "core/export.h"
#include "remote/nbd_io.h"
#include "remote/nbd_wait.h"
#include "rwimage1.h"
#include "util/bounded_copy.h"
#include "util/name_lookup.h"
#include "util/net_deadline.h"
#include "util/unique_fd.h"

using oru::nbd::Limit;
using oru::nbd::wait_for_progress;
using oru::nbd::connect_export;

namespace {

// Every caller hands us a buffer as large as nbderror (char[100]); libnbd's
// texts have no bound.
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
// Writes travel the same way: without forced unit access on each command
// (see oru::nbd::Durability) the server commits them in the background
// while the next ones arrive.
constexpr uint64_t kChunk = 256 * 1024;
constexpr size_t kInFlight = 32;
// Zeroing moves no data: a command covers far more, within the 32-bit
// length of a request.
constexpr uint64_t kZeroPiece = 1ull << 30;
// Zeros written as data where the server cannot zero: enough for a full
// pipeline of commands.
constexpr uint64_t kZeroBuffer = kChunk * kInFlight;

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

enum class Kind { read, write, zero };

const char *step_name(Kind kind) {
    return kind == Kind::read ? "read" : kind == Kind::write ? "write" : "zero";
}

// Moves or zeroes [offset, offset + count) as commands of `piece` bytes, up
// to kInFlight at a time, refilled as any completes. Fails whole if any
// command fails: once one fails or cannot be sent nothing more is sent, and
// the commands already out are awaited (they point into data) before the
// failure is reported.
int pipeline(struct nbd_handle *nbd, Kind kind, char *data, uint64_t count, uint64_t offset,
             uint64_t piece, uint32_t flags, char *error) {
    Limit limit;
    // An empty request still goes to libnbd, which refuses it with its text.
    const uint64_t commands = std::max<uint64_t>(1, (count + piece - 1) / piece);
    std::deque<int64_t> in_flight;
    uint64_t submitted = 0, issued = 0;
    int rc = 0;
    for (;;) {
        while (rc == 0 && issued < commands && in_flight.size() < kInFlight) {
            const uint64_t n = std::min(piece, count - submitted);
            int64_t cookie = -1;
            switch (kind) {
            case Kind::read:
                cookie = nbd_aio_pread(nbd, data + submitted, n, offset + submitted,
                                       NBD_NULL_COMPLETION, flags);
                break;
            case Kind::write:
                cookie = nbd_aio_pwrite(nbd, data + submitted, n, offset + submitted,
                                        NBD_NULL_COMPLETION, flags);
                break;
            case Kind::zero:
                cookie = nbd_aio_zero(nbd, n, offset + submitted, NBD_NULL_COMPLETION, flags);
                break;
            }
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
        // A dead or cut connection retires every command: nothing touches
        // data later.
        if (wait_for_progress(nbd, limit, step_name(kind), error, rc != 0) <= 0) return -1;
    }
}

uint64_t align_down(uint64_t value, uint64_t alignment) {
    return value - value % alignment;
}

// How writes (and zeroings) of one call reach stable storage.
struct WriteMode {
    uint32_t flags = 0;       // per command
    bool flush_after = false; // one flush once every command succeeded
};

WriteMode write_mode(struct nbd_handle *nbd, oru::nbd::Durability durability) {
    if (durability == oru::nbd::Durability::writeback) return {};
    if (nbd_can_flush(nbd) == 1) return {0, true};
    if (nbd_can_fua(nbd) == 1) return {LIBNBD_CMD_FLAG_FUA, false};
    return {}; // the server offers neither: it commits before it replies
}

int flush_now(struct nbd_handle *nbd, char *error) {
    Limit limit;
    int64_t cookie = nbd_aio_flush(nbd, NBD_NULL_COMPLETION, 0);
    if (cookie == -1) {
        put_nbd_error(error);
        return -1;
    }
    for (;;) {
        int done = nbd_aio_command_completed(nbd, cookie);
        if (done == 1) return 0;
        if (done == -1) {
            put_nbd_error(error);
            return -1;
        }
        if (wait_for_progress(nbd, limit, "flush", error, false) <= 0) return -1;
    }
}

// One request of the volume layer, cut into what the export accepts: the
// bytes before the first and after the last boundary of its minimum block
// go through a bounce block (read, patched and written back for writes and
// zeroings, which is not atomic against other writers of that block), the
// aligned middle as pipelined commands no larger than its maximum.
class Request {
  public:
    Request(struct nbd_handle *nbd, Kind kind, WriteMode mode, char *error)
        : nbd_(nbd), kind_(kind), mode_(mode), error_(error), sizes_(oru::nbd::block_sizes(nbd)) {}

    int run(char *data, uint64_t count, uint64_t offset) {
        const int64_t size = nbd_get_size(nbd_);
        // Nothing to align for, or a range libnbd refuses with its own text.
        if (count == 0 || sizes_.minimum <= 1 || size < 0 || offset > static_cast<uint64_t>(size) ||
            count > static_cast<uint64_t>(size) - offset)
            return middle(data, count, offset);
        size_ = static_cast<uint64_t>(size);
        const uint64_t m = sizes_.minimum;
        const uint64_t head = offset % m == 0 ? 0 : std::min(count, m - offset % m);
        const uint64_t tail = (count - head) % m;
        const uint64_t whole = count - head - tail;
        if (head != 0 && edge(data, head, offset) != 0) return -1;
        if (whole != 0 && middle(data ? data + head : nullptr, whole, offset + head) != 0)
            return -1;
        if (tail != 0 &&
            edge(data ? data + head + whole : nullptr, tail, offset + head + whole) != 0)
            return -1;
        return 0;
    }

  private:
    uint64_t piece() const {
        if (kind_ == Kind::zero)
            return std::max(align_down(kZeroPiece, sizes_.minimum), sizes_.minimum);
        uint64_t piece = std::min<uint64_t>(kChunk, sizes_.maximum);
        return std::max(align_down(piece, sizes_.minimum), sizes_.minimum);
    }

    int middle(char *data, uint64_t count, uint64_t offset) {
        return pipeline(nbd_, kind_, data, count, offset, piece(),
                        kind_ == Kind::read ? 0 : mode_.flags, error_);
    }

    // Part of one minimum block: [offset, offset + count) lies inside it.
    int edge(char *data, uint64_t count, uint64_t offset) {
        const uint64_t start = align_down(offset, sizes_.minimum);
        // An export whose size is not a multiple of its block ends in a
        // short block: only what exists of it is moved.
        const uint64_t length = std::min(sizes_.minimum, size_ - start);
        std::vector<char> block(length);
        if (pipeline(nbd_, Kind::read, block.data(), length, start, length, 0, error_) != 0)
            return -1;
        char *inside = block.data() + (offset - start);
        if (kind_ == Kind::zero) {
            std::memset(inside, 0, count);
        } else if (!data) { // only zeroing comes without a buffer
            put_error(error_, "buffer is NULL");
            return -1;
        } else if (kind_ == Kind::read) {
            std::memcpy(data, inside, count);
            return 0;
        } else {
            std::memcpy(inside, data, count);
        }
        return pipeline(nbd_, Kind::write, block.data(), length, start, length, mode_.flags,
                        error_);
    }

    struct nbd_handle *nbd_;
    Kind kind_;
    WriteMode mode_;
    char *error_;
    oru::nbd::BlockSizes sizes_;
    uint64_t size_ = 0;
};

int finish(struct nbd_handle *nbd, int rc, WriteMode mode, char *error) {
    if (rc != 0) return rc;
    return mode.flush_after ? flush_now(nbd, error) : 0;
}

// A server that cannot zero gets the zeros as data, from one buffer, with
// the call's durability applied once at the end.
int zero_as_data(struct nbd_handle *nbd, uint64_t count, uint64_t offset, WriteMode mode,
                 char *error) {
    std::vector<char> zeros(std::min<uint64_t>(count, kZeroBuffer));
    Request request(nbd, Kind::write, {mode.flags, false}, error);
    while (count > 0) {
        const uint64_t n = std::min<uint64_t>(count, zeros.size());
        if (request.run(zeros.data(), n, offset) != 0) return -1;
        offset += n;
        count -= n;
    }
    return 0;
}

// A failed query (-1) is left for the command itself to report.
bool refuses_writes(struct nbd_handle *nbd, char *error) {
    if (nbd_is_read_only(nbd) != 1) return false;
    put_error(error, "nbd is read only");
    return true;
}

} // namespace

oru::nbd::BlockSizes oru::nbd::block_sizes(struct nbd_handle *nbd) {
    BlockSizes sizes;
    const int64_t minimum = nbd_get_block_size(nbd, LIBNBD_SIZE_MINIMUM);
    const int64_t preferred = nbd_get_block_size(nbd, LIBNBD_SIZE_PREFERRED);
    const int64_t maximum = nbd_get_block_size(nbd, LIBNBD_SIZE_MAXIMUM);
    // The protocol bounds the minimum at 64 KiB; a larger one is nonsense
    // and would only size the bounce blocks.
    if (minimum > 0 && minimum <= 65536) sizes.minimum = static_cast<uint64_t>(minimum);
    if (preferred > 0) sizes.preferred = std::max<uint64_t>(preferred, sizes.minimum);
    if (maximum > 0) sizes.maximum = std::max<uint64_t>(maximum, sizes.minimum);
    return sizes;
}

int oru::nbd::read(struct nbd_handle *nbd, void *buf, uint64_t count, uint64_t offset,
                   char *error) {
    try {
        return Request(nbd, Kind::read, {}, error).run(static_cast<char *>(buf), count, offset);
    } catch (const std::bad_alloc &) {
        put_error(error, "out of memory");
        return -1;
    }
}

int oru::nbd::write(struct nbd_handle *nbd, const void *buf, uint64_t count, uint64_t offset,
                    Durability durability, char *error) {
    if (refuses_writes(nbd, error)) return -1;
    try {
        const WriteMode mode = write_mode(nbd, durability);
        // libnbd only reads from the buffer of a write.
        int rc = Request(nbd, Kind::write, {mode.flags, false}, error)
                     .run(static_cast<char *>(const_cast<void *>(buf)), count, offset);
        return finish(nbd, rc, mode, error);
    } catch (const std::bad_alloc &) {
        put_error(error, "out of memory");
        return -1;
    }
}

int oru::nbd::zero(struct nbd_handle *nbd, uint64_t count, uint64_t offset, Durability durability,
                   char *error) {
    if (refuses_writes(nbd, error)) return -1;
    try {
        const WriteMode mode = write_mode(nbd, durability);
        // No NBD_CMD_FLAG_NO_HOLE: a zeroed range may become a hole, which
        // is what a restore into a thin volume wants.
        int rc =
            nbd_can_zero(nbd) == 1
                ? Request(nbd, Kind::zero, {mode.flags, false}, error).run(nullptr, count, offset)
                : zero_as_data(nbd, count, offset, mode, error);
        return finish(nbd, rc, mode, error);
    } catch (const std::bad_alloc &) {
        put_error(error, "out of memory");
        return -1;
    }
}

int oru::nbd::flush(struct nbd_handle *nbd, char *error) {
    if (nbd_can_flush(nbd) != 1) return 0;
    return flush_now(nbd, error);
}

namespace {

// A TCP connection to ip:port within the limit; empty with errno set (and
// the reason in error) when none could be made.
oru::UniqueFd dial(const char *ip, const char *port, const Limit &limit, char *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(ip, port, &hints, &found);
    if (rc == EAI_NONAME) {
        // A name: looked up within the same limit as the connect.
        struct sockaddr_in resolved;
        if (oru::net::resolve_ipv4_within(ip, &resolved, limit.deadline) != 0 &&
            errno == ETIMEDOUT) {
            char text[kErrorRoom];
            std::snprintf(text, sizeof text, "name lookup of %s timed out after %d s", ip,
                          limit.seconds);
            put_error(error, text);
            errno = ETIMEDOUT;
            return {};
        }
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &resolved.sin_addr, dotted, sizeof dotted);
        if (resolved.sin_addr.s_addr != 0) rc = getaddrinfo(dotted, port, &hints, &found);
    }
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
// close its side. Writes were made durable before this (each call, or the
// volume layer's flush of a write-back handle), so a server that never
// closes only costs the wait: the handle is released all the same.
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
    return oru::nbd::read(nbd, buf, count, offset, error);
}

ORU_EXPORT int sdk_img_write(struct nbd_handle *nbd, const void *buf, size_t count, uint64_t offset,
                             char *error) {
    if (!nbd) {
        put_error(error, "handle is NULL");
        return -1;
    }
    return oru::nbd::write(nbd, buf, count, offset, oru::nbd::Durability::each_call, error);
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
