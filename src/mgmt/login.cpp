// The login request and the error-reply rule shared by every management call.
#include <cstring>
#include <string>
#include <vector>

#include "https_post.h"
#include "mgmt/mgmt.h"
#include "util/json.h"

namespace oru::mgmt {

namespace {
constexpr int kLoginReplyBuffer = 65536;
}

bool is_error_reply(const char *body) {
    return body && std::strstr(body, "code") != nullptr;
}

std::string login_body(const char *user, const char *password) {
    std::string body = "{\"username\":\"";
    body += json::escape(user ? user : "");
    body += "\", \"password\": \"";
    body += json::escape(password ? password : "");
    body += "\", \"domain\": \"internal\", \"locale\": \"cn\", \"captcha\": \"\"}";
    return body;
}

int login(const char *ip, const char *user, const char *password, LoginReply *reply) {
    std::string body = login_body(user, password);
    std::vector<char> buffer(kLoginReplyBuffer, '\0');
    int rc = https_post(
        const_cast<char *>(ip), kManagementPort, const_cast<char *>("/system/user/sdklogin"),
        body.data(), static_cast<int>(body.size()), nullptr, buffer.data(), kLoginReplyBuffer - 1);
    if (rc != 0) return rc;
    *reply = LoginReply();
    reply->body = buffer.data();
    reply->error_reply = is_error_reply(buffer.data());
    if (reply->error_reply) {
        reply->wrong_password = std::strstr(buffer.data(), kWrongPassword) != nullptr;
        return 0;
    }
    json::Document document = json::parse(buffer.data());
    if (const char *session = json::string_member(document.get(), "sessonId"))
        reply->session_id = session;
    if (const char *user_id = json::string_member(document.get(), "userId"))
        reply->user_id = user_id;
    return 0;
}

} // namespace oru::mgmt
