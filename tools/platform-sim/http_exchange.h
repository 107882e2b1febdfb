// One HTTP exchange on an accepted connection, plain or TLS: read one
// request (head and Content-Length body), send one reply in a single write,
// then end the connection. Clients of the platform read a reply until the
// server closes, so nothing here ever keeps a connection alive.
#pragma once

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
    std::string target;  // path and query as sent
    std::string version; // "HTTP/1.0" or "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers; // in order, as sent
    std::string body;

    std::string path() const;                // target without its query
    std::string query(const std::string &name) const; // a query parameter, "" when absent
    // The first header of that name (letter case ignored); nullopt when absent.
    std::optional<std::string> header(const std::string &name) const;
};

struct HttpReply {
    int status = 200;
    std::string body;
    bool close_without_reply = false;
    std::string note; // for the journal only: why this reply was given
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
};

// Sets receive and send time-outs on a connected socket.
void set_socket_timeouts(int fd, int seconds);

class PlainChannel : public Channel {
  public:
    explicit PlainChannel(UniqueFd fd) : fd_(std::move(fd)) {}
    long read_some(char *data, size_t size) override;
    bool write_once(const std::string &text) override;
    void finish() override;

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

  private:
    TlsChannel(UniqueFd fd, SSL *ssl) : fd_(std::move(fd)), ssl_(ssl) {}
    UniqueFd fd_;
    std::unique_ptr<SSL, SslFree> ssl_;
};

// Reads one request. On failure returns nullopt and says why (the client
// closed, the head was too long or malformed, a time-out).
std::optional<HttpRequest> read_request(Channel &channel, std::string &why);

// The complete reply text: status line, JSON content type, length,
// "Connection: close", blank line and body.
std::string reply_text(const HttpReply &reply);

} // namespace oru::sim
