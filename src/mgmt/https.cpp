// HTTPS exchanges with the management server: TCP connect, TLS set-up
// (certificates verified only when the caller's environment asks for it),
// one request, the reply body, release. Every step that waits on the server
// has a deadline (ORU_NET_TIMEOUT): the exchange lock is held meanwhile, so a
// silent server must not hold every other thread of the process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
#include "mgmt/request_text.h"
#include "mgmt/sigpipe_guard.h"
#include "oruDiskLib.h"
#include "util/name_lookup.h"
#include "util/net_deadline.h"
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

} // namespace oru::mgmt

namespace {

using oru::mgmt::note_exchange_failure;
using oru::net::Deadline;

// Holds tamb_mutex for one exchange.
class ExchangeLock {
  public:
    ExchangeLock() { pthread_mutex_lock(&tamb_mutex); }
    ~ExchangeLock() { pthread_mutex_unlock(&tamb_mutex); }
    ExchangeLock(const ExchangeLock &) = delete;
    ExchangeLock &operator=(const ExchangeLock &) = delete;
};

// Puts a socket in non-blocking mode for a while, so that no TLS call can
// wait past its deadline (the waits happen in wait_ready instead).
class NonBlocking {
  public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(fd >= 0 ? ::fcntl(fd, F_GETFL) : -1) {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
    ~NonBlocking() {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking &) = delete;
    NonBlocking &operator=(const NonBlocking &) = delete;

  private:
    int fd_;
    int flags_;
};

enum class Wait { Retry, TimedOut, Failed };

// After a TLS call that returned rc: waits for what it asked for.
Wait wait_for_tls(SSL *ssl, int rc, const Deadline &deadline) {
    int error = SSL_get_error(ssl, rc);
    short events = error == SSL_ERROR_WANT_READ    ? POLLIN
                   : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                   : 0;
    if (events == 0) return Wait::Failed;
    int ready = oru::net::wait_ready(SSL_get_fd(ssl), events, deadline);
    if (ready == 1) return Wait::Retry;
    return ready == 0 ? Wait::TimedOut : Wait::Failed;
}

void note_timeout(const char *step) {
    note_exchange_failure(std::string("https: ") + step + " timed out after " +
                          std::to_string(oru::net::timeout_seconds()) + " s");
}

// Opt-in verification of the server's certificate: ORU_TLS_CA_FILE names
// the trusted roots, or ORU_TLS_VERIFY=1 asks for the system's. Platforms
// with self-signed certificates rely on the default of not verifying.
// False (reason noted) when the roots cannot be had.
bool require_verification(SSL_CTX *context, SSL *ssl, const char *host) {
    const char *ca_file = std::getenv("ORU_TLS_CA_FILE");
    const char *verify = std::getenv("ORU_TLS_VERIFY");
    bool use_file = ca_file && *ca_file;
    if (!use_file && !(verify && std::strcmp(verify, "1") == 0)) return true;
    if (use_file ? SSL_CTX_load_verify_locations(context, ca_file, nullptr) != 1
                 : SSL_CTX_set_default_verify_paths(context) != 1) {
        note_exchange_failure(use_file
                                  ? std::string("https: cannot read ORU_TLS_CA_FILE ") + ca_file
                                  : std::string("https: no system trust store"));
        return false;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    unsigned char address[16];
    if (inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(param, host) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return X509_VERIFY_PARAM_set1_host(param, host, 0) == 1 &&
           SSL_set_tlsext_host_name(ssl, const_cast<char *>(host)) == 1;
}

// The TLS object of one exchange, bound to sockfd; host given: verified as
// the environment asks.
SSL *new_tls(int sockfd, const char *host) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL *ssl = SSL_new(context);
    if (!ssl || SSL_set_fd(ssl, sockfd) != 1 ||
        (host && !require_verification(context, ssl, host))) {
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
    oru::mgmt::clear_exchange_failure();
    oru::UniqueFd socket_fd(client_connect_tcp(host, port));
    if (!socket_fd) return ORU_E_TCP;
    oru::mgmt::SigpipeGuard no_sigpipe;
    ExchangeLock lock;
    TlsSession tls;
    tls.ssl = new_tls(socket_fd.get(), host);
    if (!tls.ssl) return ORU_E_SSL;
    // The closing shutdown must not wait on a peer that reads nothing.
    NonBlocking no_waiting(socket_fd.get());

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

    // The lookup is a step of its own with its own deadline; one that runs
    // out fails as a connect that does.
    struct sockaddr_in address;
    if (oru::net::resolve_ipv4_within(server, &address, Deadline()) != 0) {
        if (errno != ETIMEDOUT) return -2;
        note_exchange_failure(std::string("tcp: looking up ") + server + " timed out after " +
                              std::to_string(oru::net::timeout_seconds()) + " s");
        return -3;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));

    if (oru::net::connect_within(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address,
                                 Deadline()) != 0) {
        if (errno == ETIMEDOUT)
            note_exchange_failure(std::string("tcp: connecting to ") + server + ":" +
                                  std::to_string(port) + " timed out after " +
                                  std::to_string(oru::net::timeout_seconds()) + " s");
        return -3;
    }
    return socket_fd.release();
}

ORU_EXPORT SSL *ssl_init(int sockfd) {
    return new_tls(sockfd, nullptr);
}

ORU_EXPORT int ssl_send(SSL *ssl, char *data, int size) {
    if (!ssl) return -1;
    NonBlocking no_waiting(SSL_get_fd(ssl));
    Deadline handshake;
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl);
        if (rc == 1) break;
        Wait wait = wait_for_tls(ssl, rc, handshake);
        if (wait == Wait::Retry) continue;
        long verified = SSL_get_verify_result(ssl);
        if (wait == Wait::TimedOut)
            note_timeout("TLS handshake");
        else if (SSL_get_verify_mode(ssl) != SSL_VERIFY_NONE && verified != X509_V_OK)
            note_exchange_failure(std::string("https: server certificate not accepted: ") +
                                  X509_verify_cert_error_string(verified));
        return -1;
    }
    if (size > 0 && !data) return -2;
    Deadline sending;
    int written = 0;
    while (written < size) {
        ERR_clear_error();
        int n = SSL_write(ssl, data + written, size - written);
        if (n > 0) {
            written += n;
            continue;
        }
        Wait wait = wait_for_tls(ssl, n, sending);
        if (wait == Wait::Retry) continue;
        if (wait == Wait::TimedOut) note_timeout("sending the request");
        return -2;
    }
    return written;
}

ORU_EXPORT int ssl_recv(SSL *ssl, char *buff, int size) {
    if (!ssl) return -1;
    if (size > 0 && !buff) return -1;
    NonBlocking no_waiting(SSL_get_fd(ssl));
    Deadline receiving;
    oru::mgmt::ReplyFramer reply(buff, size < 0 ? 0 : static_cast<size_t>(size),
                                 oru::mgmt::ReplyFramer::Keep::Body);
    char chunk[16384];
    while (!reply.done()) {
        ERR_clear_error();
        int n = SSL_read(ssl, chunk, sizeof chunk);
        if (n > 0) {
            reply.feed(chunk, static_cast<size_t>(n));
            continue;
        }
        Wait wait = wait_for_tls(ssl, n, receiving);
        if (wait == Wait::Retry) continue;
        if (wait == Wait::TimedOut) {
            note_timeout("waiting for the reply");
            return -1;
        }
        break; // the peer closed or failed: the reply ends here
    }
    return static_cast<int>(reply.stored());
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
