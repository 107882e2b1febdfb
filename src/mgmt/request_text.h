// The exact texts of the requests the request layer sends. The exported
// builders (post_pack, ...) copy these into caller buffers; the request
// operations send them as they are, so no text is ever cut.
#pragma once

#include <string>

namespace oru::mgmt {

// "<method> <page> HTTP/1.0", "Host: <host>:<port>", the HttpsPostHeaders
// block, "Authorization: <aut>", "Content-Length: <len>", blank line, content.
std::string body_request_text(const char *method, const char *host, int port, const char *page,
                              const char *aut, int len, const char *content);

// "<method> <page> HTTP/1.1", "Host: <host>", the block, "Authorization:
// <aut>", blank line.
std::string bodiless_request_text(const char *method, const char *host, const char *page,
                                  const char *aut);

// Plain-HTTP requests to a host agent.
std::string agent_post_text(const char *url, const char *ip, const char *aut, const char *body);
std::string agent_get_text(const char *url, const char *ip, const char *aut);

// A null text reads "(null)", as printf's %s writes it.
inline const char *text_or_null(const char *text) {
    return text ? text : "(null)";
}

} // namespace oru::mgmt
