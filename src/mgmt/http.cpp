// Plain-HTTP exchanges with host agents: one request, the reply read until
// complete, and its last non-empty line handed back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/replies.h"
#include "mgmt/request_text.h"
#include "oruDiskLib.h"
#include "util/unique_fd.h"

namespace oru::mgmt {

namespace {

// Offset just past the blank line that ends the head, if it has arrived.
std::optional<size_t> head_end(std::string_view reply) {
    size_t crlf = reply.find("\r\n\r\n");
    size_t lf = reply.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::nullopt;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf))
        return crlf + 4;
    return lf + 2;
}

// The Content-Length the head declares, if any.
std::optional<size_t> content_length(std::string_view head) {
    static constexpr std::string_view kName = "content-length:";
    size_t line_start = 0;
    while (line_start < head.size()) {
        size_t line_end = head.find('\n', line_start);
        if (line_end == std::string_view::npos) line_end = head.size();
        std::string_view line = head.substr(line_start, line_end - line_start);
        if (line.size() > kName.size() &&
            strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
            std::string value(line.substr(kName.size()));
            char *end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            if (end != value.c_str() && errno == 0) return static_cast<size_t>(n);
        }
        line_start = line_end + 1;
    }
    return std::nullopt;
}

} // namespace

bool http_reply_complete(std::string_view reply) {
    std::optional<size_t> end = head_end(reply);
    if (!end) return false;
    std::optional<size_t> length = content_length(reply.substr(0, *end));
    return length && reply.size() - *end >= *length;
}

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

using oru::mgmt::http_reply_complete;
using oru::mgmt::keep_last_line;

bool send_all(int fd, const std::string &request) {
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the head and its Content-Length body are in, the peer closes,
// or room bytes have arrived. A reply may come in several segments.
std::string receive_reply(int fd, size_t room) {
    std::string reply;
    std::vector<char> chunk(room < 65536 ? room : 65536);
    while (reply.size() < room) {
        size_t want = room - reply.size();
        if (want > chunk.size()) want = chunk.size();
        ssize_t n = ::recv(fd, chunk.data(), want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(chunk.data(), static_cast<size_t>(n));
        if (http_reply_complete(reply)) break;
    }
    return reply;
}

int plain_exchange(char *ip, int port, const std::string &request, char *buf, int bufsize) {
    if (!buf || bufsize < 2) return ORU_E_RECV;
    oru::UniqueFd socket_fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (!socket_fd) return ORU_E_TCP;
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!ip || inet_pton(AF_INET, ip, &address.sin_addr) != 1) return ORU_E_TCP;
    int rc;
    do {
        rc = ::connect(socket_fd.get(), reinterpret_cast<struct sockaddr *>(&address),
                       sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return ORU_E_CONNECT_FAIL;
    if (!send_all(socket_fd.get(), request)) return ORU_E_SEND;
    std::string reply = receive_reply(socket_fd.get(), static_cast<size_t>(bufsize) - 1);
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
