// Fuzz target: the framing of replies as the request layer receives them.
// Both sides go through the reply framing in segments: the HTTPS side keeps
// the decoded body as ssl_recv does (and must get the same body however the
// reply is split); the plain-HTTP side keeps head and body as http_post and
// http_get read a host agent's reply, takes its last non-empty line and
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

// The peer's bytes through the framing the request layer uses, in segments
// whose sizes come from seed, into room bytes; stops where a reader stops.
std::string frame(const std::string &peer, size_t room, oru::mgmt::ReplyFramer::Keep keep,
                  uint32_t seed) {
    std::string out(room, '\0');
    oru::mgmt::ReplyFramer framer(out.data(), room, keep);
    size_t sent = 0;
    while (!framer.done() && sent < peer.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t segment = std::min<size_t>(1 + (seed >> 16) % 1500, peer.size() - sent);
        if (framer.feed(peer.data() + sent, segment) > segment) broken("took more than it was fed");
        sent += segment;
    }
    if (framer.stored() > room) broken("kept more than the room");
    out.resize(framer.stored());
    return out;
}

// What the HTTPS exchange stores: the decoded body, whatever the segments.
void https_side(const std::string &peer, size_t room, uint32_t seed) {
    std::string body = frame(peer, room, oru::mgmt::ReplyFramer::Keep::Body, seed);
    if (body != frame(peer, room, oru::mgmt::ReplyFramer::Keep::Body, seed + 1))
        broken("the body depends on how the reply was split");
    std::vector<char> buffer(room + 1, '\0');
    std::memcpy(buffer.data(), body.data(), body.size());
    oru::mgmt::is_error_reply(buffer.data());
}

// The reply as the plain-HTTP exchange collects it: head and decoded body.
std::string collect(const std::string &peer, size_t room, uint32_t seed) {
    return frame(peer, room, oru::mgmt::ReplyFramer::Keep::HeadAndBody, seed);
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
    https_side(peer, static_cast<size_t>(bufsize) - 1, seed);
    http_side(peer, bufsize, seed);
    return 0;
}
