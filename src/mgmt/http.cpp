// Plain-HTTP exchanges with host agents: one request, the reply read until
// complete (its body decoded), and its last non-empty line handed back.
// Name lookup, connect, send and receive each have a deadline (ORU_NET_TIMEOUT).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
#include "mgmt/request_text.h"
#include "oruDiskLib.h"
#include "util/name_lookup.h"
#include "util/net_deadline.h"
#include "util/unique_fd.h"

namespace oru::mgmt {

void keep_last_line(const std::string &reply, char *buf, int bufsize) {
    size_t end = reply.find_last_not_of("\r\n");
    if (end == std::string::npos) return;
    size_t start = reply.find_last_of("\r\n", end);
    start = (start == std::string::npos) ? 0 : start + 1;
    std::memset(buf, 0, static_cast<size_t>(bufsize));
    std::memcpy(buf, reply.data() + start, end + 1 - start);
}

} // namespace oru::mgmt

namespace {

using oru::mgmt::keep_last_line;
using oru::mgmt::note_exchange_failure;
using oru::net::Deadline;

void note_timeout(const char *step, const char *ip, int port) {
    note_exchange_failure(std::string("http: ") + step + " " + ip + ":" + std::to_string(port) +
                          " timed out after " + std::to_string(oru::net::timeout_seconds()) + " s");
}

// The reply as the agent sent it, its body decoded, at most room bytes:
// read until it is complete, the peer closes or room bytes are in. Empty
// with *timed_out set when the reply did not come in time.
std::string receive_reply(int fd, size_t room, bool *timed_out) {
    std::string reply(room, '\0');
    oru::mgmt::ReplyFramer framer(reply.data(), room, oru::mgmt::ReplyFramer::Keep::HeadAndBody);
    Deadline deadline;
    char chunk[16384];
    while (!framer.done()) {
        ssize_t n = oru::net::recv_within(fd, chunk, sizeof chunk, deadline);
        if (n < 0 && errno == ETIMEDOUT) {
            *timed_out = true;
            return std::string();
        }
        if (n <= 0) break;
        framer.feed(chunk, static_cast<size_t>(n));
    }
    reply.resize(framer.stored());
    return reply;
}

int plain_exchange(char *ip, int port, const std::string &request, char *buf, int bufsize) {
    oru::mgmt::clear_exchange_failure();
    if (!buf || bufsize < 2) return ORU_E_RECV;
    oru::UniqueFd socket_fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (!socket_fd) return ORU_E_TCP;
    struct sockaddr_in address;
    if (!ip) return ORU_E_TCP;
    // An agent named by the server may be a name: its lookup has its own
    // deadline and, run out, fails as a connect that does.
    if (oru::net::resolve_ipv4_within(ip, &address, Deadline()) != 0) {
        if (errno != ETIMEDOUT) return ORU_E_TCP;
        note_timeout("looking up", ip, port);
        return ORU_E_CONNECT_FAIL;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (oru::net::connect_within(socket_fd.get(), reinterpret_cast<struct sockaddr *>(&address),
                                 sizeof address, Deadline()) != 0) {
        if (errno == ETIMEDOUT) note_timeout("connecting to", ip, port);
        return ORU_E_CONNECT_FAIL;
    }
    if (oru::net::send_within(socket_fd.get(), request.data(), request.size(), Deadline()) != 0) {
        if (errno == ETIMEDOUT) note_timeout("sending to", ip, port);
        return ORU_E_SEND;
    }
    bool timed_out = false;
    std::string reply =
        receive_reply(socket_fd.get(), static_cast<size_t>(bufsize) - 1, &timed_out);
    if (timed_out) note_timeout("waiting for the reply of", ip, port);
    if (reply.empty()) return ORU_E_RECV;
    keep_last_line(reply, buf, bufsize);
    return ORU_OK;
}

template <typename Compose>
int http_request(char *ip, int port, Compose compose, char *buf, int bufsize) noexcept {
    try {
        return plain_exchange(ip, port, compose(), buf, bufsize);
    } catch (...) {
        return ORU_E_MALLOC;
    }
}

} // namespace

ORU_EXPORT int http_post(char *ip, int port, char *url, char *body, char *aut, char *buf,
                         int bufsize) {
    return http_request(
        ip, port, [&] { return oru::mgmt::agent_post_text(url, ip, aut, body); }, buf, bufsize);
}

ORU_EXPORT int http_get(char *ip, int port, char *url, char *aut, char *buf, int bufsize) {
    return http_request(
        ip, port, [&] { return oru::mgmt::agent_get_text(url, ip, aut); }, buf, bufsize);
}
