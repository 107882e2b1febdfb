// Request texts of the HTTPS and plain-HTTP operations.
#include <climits>
#include <cstring>
#include <string>

#include "core/export.h"
#include "https_post.h"
#include "mgmt/request_text.h"

namespace {

constexpr char kHeaderBlock[] =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)\r\n"
    "Connection: Keep-Alive\r\n"
    "version: 5.8 \r\n"
    "Content-type: application/json;charset=utf-8\r\n";
static_assert(sizeof(kHeaderBlock) - 1 == 150);

} // namespace

ORU_EXPORT_DATA const char *HttpsPostHeaders = kHeaderBlock;

namespace oru::mgmt {

std::string body_request_text(const char *method, const char *host, int port, const char *page,
                              const char *aut, int len, const char *content) {
    std::string text;
    text.reserve(256 + (content ? std::strlen(content) : 0));
    text.append(method).append(" ").append(text_or_null(page)).append(" HTTP/1.0\r\n");
    text.append("Host: ").append(text_or_null(host)).append(":").append(std::to_string(port));
    text.append("\r\n").append(kHeaderBlock);
    text.append("Authorization: ").append(text_or_null(aut)).append("\r\n");
    text.append("Content-Length: ").append(std::to_string(len)).append("\r\n\r\n");
    if (content) text.append(content);
    return text;
}

std::string bodiless_request_text(const char *method, const char *host, const char *page,
                                  const char *aut) {
    std::string text;
    text.append(method).append(" ").append(text_or_null(page)).append(" HTTP/1.1\r\n");
    text.append("Host: ").append(text_or_null(host)).append("\r\n").append(kHeaderBlock);
    text.append("Authorization: ").append(text_or_null(aut)).append("\r\n\r\n");
    return text;
}

std::string agent_post_text(const char *url, const char *ip, const char *aut, const char *body) {
    std::string text;
    size_t body_length = body ? std::strlen(body) : 0;
    text.append("POST ").append(text_or_null(url)).append(" HTTP/1.1\r\n");
    text.append("Content-Type: application/json;charset=utf-8\r\n");
    text.append("Host:").append(text_or_null(ip)).append("\r\n");
    text.append("Authentication: ").append(text_or_null(aut)).append("\r\n");
    text.append("Content-Length: ").append(std::to_string(body_length)).append("\r\n\r\n");
    if (body) text.append(body, body_length);
    return text;
}

std::string agent_get_text(const char *url, const char *ip, const char *aut) {
    std::string text;
    text.append("GET ").append(text_or_null(url)).append(" HTTP/1.0\r\n");
    text.append("Content-Type: application/json;charset=utf-8\r\n");
    text.append("Host:").append(text_or_null(ip)).append("\r\n");
    text.append("Authentication: ").append(text_or_null(aut)).append("\r\n\r\n\r\n");
    return text;
}

} // namespace oru::mgmt

namespace {

// Copies a composed request into the caller's buffer, which must hold it.
template <typename Build> int store_request(Build build, char *data) noexcept {
    if (!data) return -1;
    try {
        std::string text = build();
        if (text.size() > static_cast<size_t>(INT_MAX)) return -1;
        std::memset(data, 0, text.size() + 1);
        std::memcpy(data, text.data(), text.size());
        return static_cast<int>(text.size());
    } catch (...) {
        return -1;
    }
}

} // namespace

ORU_EXPORT int post_pack(char *host, int port, char *page, char *aut, int len, char *content,
                         char *data) {
    return store_request(
        [&] { return oru::mgmt::body_request_text("POST", host, port, page, aut, len, content); },
        data);
}

ORU_EXPORT int put_pack(char *host, int port, char *page, char *aut, int len, char *content,
                        char *data) {
    return store_request(
        [&] { return oru::mgmt::body_request_text("PUT", host, port, page, aut, len, content); },
        data);
}

ORU_EXPORT int get_pack(char *host, int /*port*/, char *page, char *aut, int /*len*/,
                        char * /*content*/, char *data) {
    return store_request([&] { return oru::mgmt::bodiless_request_text("GET", host, page, aut); },
                         data);
}

ORU_EXPORT int delete_pack(char *host, int /*port*/, char *page, char *aut, int /*len*/,
                           char * /*content*/, char *data) {
    return store_request(
        [&] { return oru::mgmt::bodiless_request_text("DELETE", host, page, aut); }, data);
}
