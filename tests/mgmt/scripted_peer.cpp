#include "mgmt/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/test_support.h"

namespace oru::test {

namespace {

bool request_complete(const std::string &request) {
    size_t head_end = request.find("\r\n\r\n");
    if (head_end == std::string::npos) return false;
    std::string length = header_value(request.substr(0, head_end + 2), "Content-Length");
    size_t body = request.size() - (head_end + 4);
    return length.empty() || body >= std::stoul(length);
}

// Reading and writing on one accepted connection, over TLS or not.
struct Channel {
    int fd;
    SSL *ssl = nullptr;
    int read(char *buffer, int size) {
        if (ssl) return SSL_read(ssl, buffer, size);
        return static_cast<int>(::recv(fd, buffer, static_cast<size_t>(size), 0));
    }
    bool write(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            int n = ssl ? SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
                        : static_cast<int>(
                              ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL));
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

} // namespace

ScriptedReply http_reply(const std::string &body) {
    ScriptedReply reply;
    reply.segments.push_back(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body);
    return reply;
}

ScriptedReply raw_reply(const std::string &bytes) {
    ScriptedReply reply;
    reply.segments.push_back(bytes);
    return reply;
}

const TestCertificate &test_certificate() {
    static TempDir dir;
    static TestCertificate made = [] {
        TestCertificate c{dir.file("cert.pem"), dir.file("key.pem")};
        CommandResult r = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                              "-nodes -days 1 -subj /CN=oru-test -keyout " +
                                  quote(c.key) + " -out " + quote(c.cert),
                              true);
        if (r.status != 0) throw std::runtime_error("openssl req failed: " + r.out);
        return c;
    }();
    return made;
}

std::string header_value(const std::string &request, const std::string &name) {
    std::string wanted = "\r\n" + name + ":";
    size_t at = request.find(wanted);
    if (at == std::string::npos) return "";
    size_t start = at + wanted.size();
    while (start < request.size() && request[start] == ' ')
        ++start;
    size_t end = request.find("\r\n", start);
    return request.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string request_body(const std::string &request) {
    size_t head_end = request.find("\r\n\r\n");
    return head_end == std::string::npos ? "" : request.substr(head_end + 4);
}

ScriptedPeer::ScriptedPeer(Kind kind, const std::string &address, int port) : kind_(kind) {
    if (kind_ == Kind::Tls) {
        const TestCertificate &cert = test_certificate();
        SSL_CTX *context = SSL_CTX_new(TLS_server_method());
        if (!context ||
            SSL_CTX_use_certificate_file(context, cert.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, cert.key.c_str(), SSL_FILETYPE_PEM) != 1) {
            ADD_FAILURE() << "TLS server context";
            SSL_CTX_free(context);
            return;
        }
        tls_context_ = context;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        ADD_FAILURE() << "cannot listen on " << address << ":" << port << ": " << strerror(errno);
        ::close(fd);
        return;
    }
    listen_fd_ = fd;
    thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    SSL_CTX_free(static_cast<SSL_CTX *>(tls_context_));
}

void ScriptedPeer::answer(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(reply));
}

ScriptedReply ScriptedPeer::next_reply() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (script_.empty())
        return http_reply("{\"code\":999999,\"message\":\"the test scripted no reply\"}");
    ScriptedReply reply = std::move(script_.front());
    script_.pop_front();
    return reply;
}

std::vector<std::string> ScriptedPeer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptedPeer::request_lines() const {
    std::vector<std::string> lines;
    for (const std::string &r : requests())
        lines.push_back(r.substr(0, r.find("\r\n")));
    return lines;
}

void ScriptedPeer::serve() {
    // A client that gave up before the reply must not kill the test with
    // SIGPIPE when the reply is written.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        serve_one(fd);
        ::close(fd);
    }
}

void ScriptedPeer::serve_one(int fd) {
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(nullptr, SSL_free);
    ScriptedReply reply = next_reply();
    if (kind_ == Kind::Tls) {
        ssl.reset(SSL_new(static_cast<SSL_CTX *>(tls_context_)));
        SSL_set_fd(ssl.get(), fd);
        if (SSL_accept(ssl.get()) != 1) {
            ERR_clear_error();
            return;
        }
    }
    Channel channel{fd, ssl.get()};
    std::string request;
    char buffer[16384];
    do {
        int n = channel.read(buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    } while (reply.read_request && !request_complete(request));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    std::this_thread::sleep_for(reply.delay);
    for (size_t i = 0; i < reply.segments.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(reply.pause);
        if (!channel.write(reply.segments[i])) break;
    }
    if (reply.linger.count() > 0) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(reply.linger.count()));
    }
    if (ssl) SSL_shutdown(ssl.get());
    ERR_clear_error();
}

} // namespace oru::test
