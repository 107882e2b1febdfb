// HTTPS exchanges with the management server: TCP connect, TLS set-up
// without verification, one request, the reply body, release.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/replies.h"
#include "mgmt/request_text.h"
#include "mgmt/sigpipe_guard.h"
#include "oruDiskLib.h"
#include "util/unique_fd.h"

ORU_EXPORT_DATA pthread_mutex_t tamb_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace oru::mgmt {

SigpipeGuard::SigpipeGuard() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0) was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    active_ = pthread_sigmask(SIG_BLOCK, &block, &old_mask_) == 0;
}

SigpipeGuard::~SigpipeGuard() {
    if (!active_) return;
    if (!was_pending_) {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        struct timespec no_wait = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

size_t https_body_offset(std::string_view reply) {
    ReplyHeadScanner head;
    size_t offset = 0;
    while (!head.done() && offset < reply.size()) head.feed(reply[offset++]);
    return offset;
}

} // namespace oru::mgmt

namespace {

// Holds tamb_mutex for one exchange.
class ExchangeLock {
  public:
    ExchangeLock() { pthread_mutex_lock(&tamb_mutex); }
    ~ExchangeLock() { pthread_mutex_unlock(&tamb_mutex); }
    ExchangeLock(const ExchangeLock &) = delete;
    ExchangeLock &operator=(const ExchangeLock &) = delete;
};

// The TLS connection of one exchange: shut down (without waiting for the
// peer), then freed after the socket is closed.
struct TlsSession {
    SSL *ssl = nullptr;
    ~TlsSession() {
        if (ssl) SSL_free(ssl);
    }
};

// One HTTPS exchange carrying request (already composed: a request buffer
// that could not be had never gets here).
int https_exchange(char *host, int port, const std::string &request, char *buff, int bsize) {
    oru::UniqueFd socket_fd(client_connect_tcp(host, port));
    if (!socket_fd) return ORU_E_TCP;
    oru::mgmt::SigpipeGuard no_sigpipe;
    ExchangeLock lock;
    TlsSession tls;
    tls.ssl = ssl_init(socket_fd.get());
    if (!tls.ssl) return ORU_E_SSL;

    int result = ORU_OK;
    if (ssl_send(tls.ssl, const_cast<char *>(request.data()), static_cast<int>(request.size())) < 0)
        result = ORU_E_SEND;
    else if (ssl_recv(tls.ssl, buff, bsize < 0 ? 0 : bsize) < 0)
        result = ORU_E_RECV;
    SSL_shutdown(tls.ssl);
    socket_fd.reset();
    // A failed handshake or shutdown leaves entries in this thread's OpenSSL
    // error queue; nothing reads them, so they must not pile up.
    ERR_clear_error();
    return result;
}

template <typename Compose>
int https_request(char *host, int port, Compose compose, char *buff, int bsize) noexcept {
    std::string request;
    try {
        request = compose();
    } catch (...) {
        return ORU_E_MALLOC;
    }
    if (request.size() > static_cast<size_t>(INT32_MAX)) return ORU_E_MALLOC;
    try {
        return https_exchange(host, port, request, buff, bsize);
    } catch (...) {
        return ORU_E_SEND;
    }
}

} // namespace

ORU_EXPORT int client_connect_tcp(char *server, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    oru::UniqueFd socket_fd(fd);
    if (!server) return -2;

    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *answer = nullptr;
    if (getaddrinfo(server, nullptr, &hints, &answer) != 0 || !answer) return -2;
    struct sockaddr_in address;
    std::memcpy(&address, answer->ai_addr, sizeof address);
    freeaddrinfo(answer);
    address.sin_port = htons(static_cast<uint16_t>(port));

    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return -3;
    return socket_fd.release();
}

ORU_EXPORT SSL *ssl_init(int sockfd) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL *ssl = SSL_new(context);
    if (!ssl) {
        SSL_CTX_free(context);
        return nullptr;
    }
    if (SSL_set_fd(ssl, sockfd) != 1) {
        SSL_free(ssl);
        SSL_CTX_free(context);
        return nullptr;
    }
    RAND_poll();
    // Bounded: a generator that never reports enough entropy must not hang
    // the caller; the handshake then fails on its own.
    for (int round = 0; RAND_status() != 1 && round < 4096; ++round) {
        unsigned short seed = static_cast<unsigned short>(rand() % 65536);
        RAND_seed(&seed, sizeof seed);
    }
    SSL_CTX_free(context);
    return ssl;
}

ORU_EXPORT int ssl_send(SSL *ssl, char *data, int size) {
    if (!ssl) return -1;
    if (SSL_connect(ssl) != 1) return -1;
    if (size > 0 && !data) return -2;
    int written = 0;
    while (written < size) {
        int n = SSL_write(ssl, data + written, size - written);
        if (n <= 0) return -2;
        written += n;
    }
    return written;
}

ORU_EXPORT int ssl_recv(SSL *ssl, char *buff, int size) {
    if (!ssl) return -1;
    if (size > 0 && !buff) return -1;
    oru::mgmt::ReplyHeadScanner head;
    while (!head.done()) {
        char byte;
        if (SSL_read(ssl, &byte, 1) != 1) break;
        head.feed(byte);
    }
    int stored = 0;
    while (stored < size) {
        int n = SSL_read(ssl, buff + stored, size - stored);
        if (n <= 0) break;
        stored += n;
    }
    return stored;
}

ORU_EXPORT int https_post(char *host, int port, char *url, char *data, int dsize, char *aut,
                          char *buff, int bsize) {
    return https_request(
        host, port,
        [&] { return oru::mgmt::body_request_text("POST", host, port, url, aut, dsize, data); },
        buff, bsize);
}

ORU_EXPORT int https_put(char *host, int port, char *url, char *data, int dsize, char *aut,
                         char *buff, int bsize) {
    return https_request(
        host, port,
        [&] { return oru::mgmt::body_request_text("PUT", host, port, url, aut, dsize, data); },
        buff, bsize);
}

ORU_EXPORT int https_get(char *host, int port, char *url, char *aut, char *buff, int bsize) {
    return https_request(
        host, port, [&] { return oru::mgmt::bodiless_request_text("GET", host, url, aut); }, buff,
        bsize);
}

ORU_EXPORT int https_delete(char *host, int port, char *url, char *aut, char *buff, int bsize) {
    return https_request(
        host, port, [&] { return oru::mgmt::bodiless_request_text("DELETE", host, url, aut); },
        buff, bsize);
}
