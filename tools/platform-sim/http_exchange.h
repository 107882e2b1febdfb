// HTTP exchanges on an accepted connection, plain or TLS: read a request
// (head and Content-Length body), then send the reply as the service's
// habits say (sim_config.h): by default in a single write with
// Content-Length, after which the connection ends; or kept alive, chunked,
// or dribbled in small pieces, as real servers do.
#pragma once

#include "sim_config.h"
#include "util/unique_fd.h"

#include <openssl/ssl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oru::sim {

struct HttpRequest {
    std::string method;
    std::string target;                                       // path and query as sent
    std::string version;                                      // "HTTP/1.0" or "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers; // in order, as sent
    std::string body;

    std::string path() const;                         // target without its query
    std::string query(const std::string &name) const; // a query parameter, "" when absent
    // The first header of that name (letter case ignored); nullopt when absent.
    std::optional<std::string> header(const std::string &name) const;
};

struct HttpReply {
    int status = 200;
    std::string body;
    bool close_without_reply = false;
    std::string note;    // for the journal only: why this reply was given
    bool silent = false; // no reply: the connection is held open in silence
};

// The byte stream of one accepted connection.
class Channel {
  public:
    virtual ~Channel() = default;
    // Up to size bytes; 0 at end of stream, -1 on error or time-out.
    virtual long read_some(char *data, size_t size) = 0;
    // The whole text through one write call; false when it did not all go out.
    virtual bool write_once(const std::string &text) = 0;
    // Ends the stream towards the client and waits briefly for it to close.
    virtual void finish() = 0;
    virtual int fd() const = 0;
    // Bytes already received but not yet read (TLS records decrypted ahead).
    virtual bool has_buffered() const { return false; }
};

// Sets receive and send time-outs on a connected socket.
void set_socket_timeouts(int fd, int seconds);

class PlainChannel : public Channel {
  public:
    explicit PlainChannel(UniqueFd fd) : fd_(std::move(fd)) {}
    long read_some(char *data, size_t size) override;
    bool write_once(const std::string &text) override;
    void finish() override;
    int fd() const override { return fd_.get(); }

  private:
    UniqueFd fd_;
};

struct SslFree {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};

class TlsChannel : public Channel {
  public:
    // Runs the server handshake; on failure returns null and says why.
    static std::unique_ptr<TlsChannel> accept(SSL_CTX *context, UniqueFd fd, std::string &why);
    long read_some(char *data, size_t size) override;
    bool write_once(const std::string &text) override;
    void finish() override;
    int fd() const override { return fd_.get(); }
    bool has_buffered() const override { return SSL_pending(ssl_.get()) > 0; }

  private:
    TlsChannel(UniqueFd fd, SSL *ssl) : fd_(std::move(fd)), ssl_(ssl) {}
    UniqueFd fd_;
    std::unique_ptr<SSL, SslFree> ssl_;
};

// Reads one request, starting with carry (bytes that came after the
// previous request on the connection), and leaves in carry what came after
// this one. On failure returns nullopt and says why (the client closed, the
// head was too long or malformed, a time-out).
std::optional<HttpRequest> read_request(Channel &channel, std::string &why, std::string &carry);
constexpr const char *kClosedBetweenRequests = "closed without a request";

// Whether the client lets the connection stay open after the reply: an
// HTTP/1.1 request unless it says "Connection: close", an HTTP/1.0 one only
// when it says "Connection: keep-alive".
bool client_keeps_alive(const HttpRequest &request);

// The reply as the writes that carry it: the status line, JSON content type,
// framing and connection headers, blank line and body. keep_alive answers
// "Connection: keep-alive" (with its timeout), else "Connection: close".
// Without chunking and dribbling it is a single write.
std::vector<std::string> reply_writes(const HttpReply &reply, const ReplyHabits &habits,
                                      bool keep_alive);

} // namespace oru::sim
