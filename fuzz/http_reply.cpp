// Fuzz target: the framing of replies as the request layer receives them.
// The HTTPS side skips the head the way ssl_recv does; the plain-HTTP side
// collects the reply in segments until it is complete (as http_post and
// http_get read a host agent's reply), keeps its last non-empty line and
// reads that line as the agent's export reply.
//
// Input: byte 0 picks the reply buffer size, byte 1 the segment sizes, the
// rest is what the peer sends.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mgmt/replies.h"
#include "util/json.h"

namespace {

[[noreturn]] void broken(const char *what) {
    std::fprintf(stderr, "http_reply: %s\n", what);
    std::abort();
}

// What the peer's bytes become in a buffer of room bytes, the way the
// HTTPS exchange stores a body: at most room bytes, never terminated.
void https_side(const std::string &peer, size_t room) {
    size_t offset = oru::mgmt::https_body_offset(peer);
    if (offset > peer.size()) broken("body offset past the reply");
    std::vector<char> buffer(room + 1, '\0');
    size_t stored = std::min(room, peer.size() - offset);
    std::memcpy(buffer.data(), peer.data() + offset, stored);
    oru::mgmt::is_error_reply(buffer.data());
}

// The reply as the plain-HTTP exchange collects it: segments until the
// reply is complete, the peer is done or bufsize - 1 bytes are in.
std::string collect(const std::string &peer, size_t room, uint32_t seed) {
    std::string reply;
    size_t sent = 0;
    while (reply.size() < room && sent < peer.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t segment = 1 + (seed >> 16) % 1500;
        segment = std::min({segment, room - reply.size(), peer.size() - sent});
        reply.append(peer, sent, segment);
        sent += segment;
        if (oru::mgmt::http_reply_complete(reply)) break;
    }
    return reply;
}

void http_side(const std::string &peer, int bufsize, uint32_t seed) {
    std::string reply = collect(peer, static_cast<size_t>(bufsize) - 1, seed);
    if (reply.empty()) return;
    std::vector<char> buf(static_cast<size_t>(bufsize), '\0');
    oru::mgmt::keep_last_line(reply, buf.data(), bufsize);
    if (strnlen(buf.data(), buf.size()) == buf.size()) broken("last line left unterminated");
    oru::json::Document doc = oru::json::parse(buf.data());
    std::string port;
    if (oru::mgmt::export_port(doc.get(), &port) && (port.empty() || port == "null"))
        broken("export port accepted without a port");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int bufsize = 2 + data[0] * 64;
    const uint32_t seed = data[1];
    std::string peer(reinterpret_cast<const char *>(data) + 2, size - 2);
    https_side(peer, static_cast<size_t>(bufsize) - 1);
    http_side(peer, bufsize, seed);
    return 0;
}
