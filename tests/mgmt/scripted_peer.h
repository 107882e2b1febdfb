// A scripted stand-in for a management server or host agent, for tests that
// must see the exact bytes a request put on the wire or must answer with
// exact bytes (odd heads, split segments, non-TLS replies).
//
// It listens on address:port (TLS with a throw-away self-signed certificate,
// or plain TCP), serves one connection at a time, records every request and
// answers each with the next scripted reply, then closes the connection
// (at once, or when the client does: see linger).
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace oru::test {

struct ScriptedReply {
    std::vector<std::string> segments; // written in order, with a pause between
    std::chrono::milliseconds pause{50};
    bool read_request = true;           // false: answer after the first bytes arrive
    std::chrono::milliseconds delay{0}; // before the first segment
    // After the last segment the connection stays open this long, or until
    // the client closes it, as servers that keep connections alive do.
    std::chrono::milliseconds linger{0};
};

// A complete HTTP reply carrying body (with a Content-Length header).
ScriptedReply http_reply(const std::string &body);
// raw bytes, sent as they are in one write.
ScriptedReply raw_reply(const std::string &bytes);

class ScriptedPeer {
  public:
    enum class Kind { Tls, Plain };
    // Starts listening at once; fails the current test (and listens on
    // nothing) when it cannot.
    ScriptedPeer(Kind kind, const std::string &address, int port);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    // Queues replies, used in order; an exhausted script answers an error
    // object {"code":999999,...}.
    void answer(ScriptedReply reply);
    void answer_json(const std::string &body) { answer(http_reply(body)); }

    // The requests received so far, each as its raw bytes.
    std::vector<std::string> requests() const;
    // Request lines ("GET /x HTTP/1.1") of the requests so far.
    std::vector<std::string> request_lines() const;

    bool listening() const { return listen_fd_ >= 0; }

  private:
    void serve();
    void serve_one(int fd);
    ScriptedReply next_reply();

    Kind kind_;
    int listen_fd_ = -1;
    void *tls_context_ = nullptr;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::deque<ScriptedReply> script_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Path of a self-signed certificate and its key, made once per process.
struct TestCertificate {
    std::string cert;
    std::string key;
};
const TestCertificate &test_certificate();

// The header value of name in a raw request ("" when absent).
std::string header_value(const std::string &request, const std::string &name);
// Everything after the request's blank line.
std::string request_body(const std::string &request);

} // namespace oru::test
