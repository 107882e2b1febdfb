#include "http_exchange.h"

#include <openssl/err.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace oru::sim {
namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 1024 * 1024;

const char *reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    default:
        return status < 400 ? "OK" : "Error";
    }
}

std::string trim(std::string text) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// Splits the head into the request line and header lines. Lines end in CR LF
// or a lone LF.
bool parse_head(const std::string &head, HttpRequest &request, std::string &why) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find('\n', start);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    if (lines.empty()) {
        why = "empty request head";
        return false;
    }
    const std::string &first = lines.front();
    size_t sp1 = first.find(' ');
    size_t sp2 = first.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) {
        why = "malformed request line: " + first;
        return false;
    }
    request.method = first.substr(0, sp1);
    request.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    request.version = first.substr(sp2 + 1);
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        size_t colon = lines[i].find(':');
        if (colon == std::string::npos) {
            why = "malformed header line: " + lines[i];
            return false;
        }
        request.headers.emplace_back(trim(lines[i].substr(0, colon)),
                                     trim(lines[i].substr(colon + 1)));
    }
    return true;
}

// Reads the rest of a stream for a short while so that closing the socket
// does not reset a connection whose client still has bytes in flight.
void drain(int fd) {
    char sink[4096];
    for (int round = 0; round < 50; ++round) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) return;
        ssize_t n = ::read(fd, sink, sizeof sink);
        if (n <= 0) return;
    }
}

} // namespace

std::string HttpRequest::path() const {
    return target.substr(0, target.find('?'));
}

std::string HttpRequest::query(const std::string &name) const {
    size_t mark = target.find('?');
    if (mark == std::string::npos) return {};
    std::string rest = target.substr(mark + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('&', start);
        if (end == std::string::npos) end = rest.size();
        std::string pair = rest.substr(start, end - start);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name) return eq == std::string::npos ? "" : pair.substr(eq + 1);
        start = end + 1;
    }
    return {};
}

std::optional<std::string> HttpRequest::header(const std::string &name) const {
    for (const auto &[key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

void set_socket_timeouts(int fd, int seconds) {
    timeval limit{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

long PlainChannel::read_some(char *data, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_.get(), data, size);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : n;
    }
}

bool PlainChannel::write_once(const std::string &text) {
    // A real agent answers with one write on its socket; clients that read
    // once must see the whole reply, so it is never split here.
    ssize_t n = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(text.size());
}

void PlainChannel::finish() {
    shutdown(fd_.get(), SHUT_WR);
    drain(fd_.get());
    fd_.reset();
}

std::unique_ptr<TlsChannel> TlsChannel::accept(SSL_CTX *context, UniqueFd fd, std::string &why) {
    SSL *ssl = SSL_new(context);
    if (!ssl) {
        why = "SSL_new failed";
        return nullptr;
    }
    std::unique_ptr<TlsChannel> channel(new TlsChannel(std::move(fd), ssl));
    if (SSL_set_fd(ssl, channel->fd_.get()) != 1 || SSL_accept(ssl) != 1) {
        why = "TLS handshake failed";
        return nullptr;
    }
    return channel;
}

long TlsChannel::read_some(char *data, size_t size) {
    int n = SSL_read(ssl_.get(), data, static_cast<int>(size));
    if (n > 0) return n;
    int error = SSL_get_error(ssl_.get(), n);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    // A client that closes without close_notify has still just gone away.
    unsigned long queued = ERR_peek_error();
    if (error == SSL_ERROR_SYSCALL && queued == 0 && errno == 0) return 0;
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
    if (error == SSL_ERROR_SSL && ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return 0;
    }
#endif
    return -1;
}

bool TlsChannel::write_once(const std::string &text) {
    // Without partial writes, SSL_write returns only when all of it is sent.
    return SSL_write(ssl_.get(), text.data(), static_cast<int>(text.size())) ==
           static_cast<int>(text.size());
}

void TlsChannel::finish() {
    SSL_shutdown(ssl_.get()); // close_notify: the client's read loop ends here
    shutdown(fd_.get(), SHUT_WR);
    drain(fd_.get());
    ssl_.reset();
    fd_.reset();
}

std::optional<HttpRequest> read_request(Channel &channel, std::string &why, std::string &carry) {
    std::string data = std::move(carry);
    carry.clear();
    size_t head_end = std::string::npos;
    size_t separator = 0;
    char chunk[16384];
    for (bool first = true; head_end == std::string::npos; first = false) {
        // What the previous request left behind may hold this head already.
        if (!first || data.empty()) {
            long n = channel.read_some(chunk, sizeof chunk);
            if (n <= 0) {
                why = n == 0 ? (data.empty() ? kClosedBetweenRequests : "closed inside the head")
                             : "read failed or timed out";
                return std::nullopt;
            }
            data.append(chunk, static_cast<size_t>(n));
        }
        // Empty lines before a request line are skipped (a client's CR LF
        // after the previous body, say).
        data.erase(0, std::min(data.size(), data.find_first_not_of("\r\n")));
        if (data.empty()) continue;
        size_t crlf = data.find("\r\n\r\n");
        size_t lflf = data.find("\n\n");
        if (crlf != std::string::npos && (lflf == std::string::npos || crlf < lflf)) {
            head_end = crlf;
            separator = 4;
        } else if (lflf != std::string::npos) {
            head_end = lflf;
            separator = 2;
        } else if (data.size() > kMaxHead) {
            why = "request head too long";
            return std::nullopt;
        }
    }
    HttpRequest request;
    if (!parse_head(data.substr(0, head_end), request, why)) return std::nullopt;
    size_t length = 0;
    if (auto declared = request.header("Content-Length")) {
        auto [end, ec] =
            std::from_chars(declared->data(), declared->data() + declared->size(), length);
        if (ec != std::errc() || end != declared->data() + declared->size() || length > kMaxBody) {
            why = "bad Content-Length: " + *declared;
            return std::nullopt;
        }
    }
    request.body = data.substr(head_end + separator);
    while (request.body.size() < length) {
        long n = channel.read_some(chunk, std::min(sizeof chunk, length - request.body.size()));
        if (n <= 0) {
            why = "body shorter than its Content-Length";
            return std::nullopt;
        }
        request.body.append(chunk, static_cast<size_t>(n));
    }
    // Bytes past the declared length belong to the next request (or are a
    // client's stray CR LF, which the next read skips as an empty line).
    carry = request.body.substr(length);
    request.body.resize(length);
    return request;
}

bool client_keeps_alive(const HttpRequest &request) {
    std::string connection = request.header("Connection").value_or("");
    for (auto &c : connection)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (request.version == "HTTP/1.1") return connection.find("close") == std::string::npos;
    return connection.find("keep-alive") != std::string::npos;
}

std::vector<std::string> reply_writes(const HttpReply &reply, const ReplyHabits &habits,
                                      bool keep_alive) {
    std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    head += "Content-Type: application/json;charset=utf-8\r\n";
    if (habits.chunk_bytes > 0)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (keep_alive)
        head += "Connection: keep-alive\r\nKeep-Alive: timeout=" +
                std::to_string(habits.keep_alive_seconds) + "\r\n";
    else
        head += "Connection: close\r\n";
    head += "\r\n";

    std::vector<std::string> pieces;
    if (habits.chunk_bytes == 0) {
        pieces.push_back(head + reply.body);
    } else {
        pieces.push_back(head);
        const char *extension = habits.chunk_extras ? ";sim-chunk=\"a;b\"" : "";
        char size[32];
        for (size_t at = 0; at < reply.body.size(); at += habits.chunk_bytes) {
            std::string part = reply.body.substr(at, habits.chunk_bytes);
            snprintf(size, sizeof size, "%zx", part.size());
            pieces.push_back(size + std::string(extension) + "\r\n" + part + "\r\n");
        }
        pieces.push_back(std::string("0") + extension + "\r\n" +
                         (habits.chunk_extras ? "Sim-Trailer: end\r\n" : "") + "\r\n");
    }
    if (habits.dribble_bytes == 0) return pieces;
    std::vector<std::string> dribbled;
    for (const auto &piece : pieces)
        for (size_t at = 0; at < piece.size(); at += habits.dribble_bytes)
            dribbled.push_back(piece.substr(at, habits.dribble_bytes));
    return dribbled;
}

} // namespace oru::sim
