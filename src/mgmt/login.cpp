// The login request and the error-reply rule shared by every management call.
#include <cstring>
#include <string>
#include <vector>

#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
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
    parse_login_reply(buffer.data(), reply);
    return 0;
}

void parse_login_reply(const char *body, LoginReply *reply) {
    *reply = LoginReply();
    reply->body = body;
    reply->error_reply = is_error_reply(body);
    if (reply->error_reply) {
        reply->wrong_password = std::strstr(body, kWrongPassword) != nullptr;
        return;
    }
    json::Document document = json::parse(body);
    if (const char *session = json::string_member(document.get(), "sessonId"))
        reply->session_id = session;
    if (const char *user_id = json::string_member(document.get(), "userId"))
        reply->user_id = user_id;
}

} // namespace oru::mgmt
