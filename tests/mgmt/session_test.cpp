// Connections against a scripted management server on port 443: login and
// access-key trade, a caller's own key, logout.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/handle.h"
#include "mgmt/mgmt.h"
#include "mgmt/scripted_peer.h"
#include "oruDiskLib.h"

using oru::test::header_value;
using oru::test::request_body;
using oru::test::ScriptedPeer;

namespace {

char *c(const char *text) {
    return const_cast<char *>(text);
}

oruDiskLibConnectParams login_params(const char *host, const char *password = "pw") {
    return oruDiskLibConnectParams{c(host), c("alice"), c(password), nullptr};
}

const char *kLogin = "{\"sessonId\":\"S1\",\"userId\":\"u1\"}";
const char *kNoKeys = "{\"totalSize\":0,\"items\":[]}";
const char *kOtherUsersKeys = "{\"totalSize\":1,\"items\":[{\"userId\":\"u0\",\"accessKeyId\":"
                              "\"X\",\"accessKeySecret\":\"Y\"}]}";
const char *kOwnKey = "{\"totalSize\":2,\"items\":[{\"userId\":\"u0\",\"accessKeyId\":\"X\","
                      "\"accessKeySecret\":\"Y\"},{\"USERID\":\"u1\",\"accessKeyId\":\"K\","
                      "\"accessKeySecret\":\"Z\"}]}";

TEST(Connect, UserWithAKeyTradesTheSessionForIt) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.2", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json(kLogin);
    server.answer_json(kOwnKey);
    server.answer_json("{\"code\":1,\"message\":\"volume busy\"}");

    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.2"), &connection), ORU_OK);
    ASSERT_NE(connection, nullptr);
    oruDiskLibInConnection *record = in_connection(connection);
    EXPECT_STREQ(record->sessionid, "ORU K:Z");
    EXPECT_STREQ(record->ip, "127.0.0.2");
    EXPECT_STREQ(record->username, "alice");
    EXPECT_STREQ(record->password, "pw");

    // Later requests carry the access-key form.
    EXPECT_EQ(setOpenMode(c("vol-1"), c("r"), record->ip, record->sessionid), 0);

    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n")), "POST /system/user/sdklogin HTTP/1.0");
    EXPECT_EQ(header_value(seen[0], "Authorization"), "(null)");
    EXPECT_EQ(request_body(seen[0]),
              "{\"username\":\"alice\", \"password\": \"pw\", \"domain\": \"internal\", "
              "\"locale\": \"cn\", \"captcha\": \"\"}");
    EXPECT_EQ(seen[1].substr(0, seen[1].find("\r\n")), "GET /accesskeys HTTP/1.1");
    EXPECT_EQ(header_value(seen[1], "Authorization"), "S1");
    EXPECT_EQ(header_value(seen[2], "Authorization"), "ORU K:Z");

    // The key form logs nothing out.
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST(Connect, UserWithoutAKeyGetsOneCreated) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.3", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json(kLogin);
    server.answer_json(kOtherUsersKeys);
    server.answer_json("{\"taskId\":\"T9\"}");
    server.answer_json("{\"state\":\"RUNNING\"}");
    server.answer_json("{\"state\":\"finished\"}");
    server.answer_json("{\"state\":\"FINISHED\"}");
    server.answer_json(kOwnKey);

    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.3"), &connection), ORU_OK);
    EXPECT_STREQ(in_connection(connection)->sessionid, "ORU K:Z");
    std::vector<std::string> lines = server.request_lines();
    std::vector<std::string> expected = {"POST /system/user/sdklogin HTTP/1.0",
                                         "GET /accesskeys HTTP/1.1",
                                         "POST /accesskeys HTTP/1.0",
                                         "GET /tasks/T9 HTTP/1.1",
                                         "GET /tasks/T9 HTTP/1.1",
                                         "GET /tasks/T9 HTTP/1.1",
                                         "GET /accesskeys HTTP/1.1"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(request_body(server.requests()[2]), "{\"userId\":\"u1\"}");
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
}

// A failed creation task leaves the session form, which still works; its
// logout can be retried after a failure.
TEST(Connect, TaskErrorKeepsTheSessionAndLogoutRetries) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.4", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json(kLogin);
    server.answer_json(kNoKeys);
    server.answer_json("{\"taskId\":\"T2\"}");
    server.answer_json("{\"state\":\"ERROR\"}");
    server.answer_json(kNoKeys);
    server.answer_json("{\"code\":107001,\"message\":\"expired\"}");
    server.answer_json("{\"result\":\"ok\"}");

    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.4"), &connection), ORU_OK);
    EXPECT_STREQ(in_connection(connection)->sessionid, "S1");
    EXPECT_EQ(server.requests().size(), 5u);

    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_E_GET);
    EXPECT_STREQ(in_connection(connection)->sessionid, "S1");
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[6].substr(0, seen[6].find("\r\n")), "GET /system/user/logout HTTP/1.1");
    EXPECT_EQ(header_value(seen[6], "Authorization"), "S1");
}

TEST(Connect, RejectedLoginsLeaveNoConnection) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.5", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json("{\"code\":107002,\"message\":\"wrong password\"}");
    server.answer_json("{\"code\":500,\"message\":\"internal\"}");
    server.answer_json("{\"sessonId\":\"barcode\",\"userId\":\"u1\"}");
    server.answer_json("{\"userId\":\"u1\"}");
    server.answer_json("not json at all");

    auto attempt = [](const char *host) {
        oruDiskLibConnection connection = reinterpret_cast<oruDiskLibConnection>(0x1);
        int rc = oruDiskLib_Connect(login_params(host), &connection);
        EXPECT_EQ(connection, nullptr);
        return rc;
    };
    EXPECT_EQ(attempt("127.0.0.5"), ORU_E_ACCOUNT);
    EXPECT_EQ(attempt("127.0.0.5"), ORU_E_POST);
    EXPECT_EQ(attempt("127.0.0.5"), ORU_E_POST); // "code" inside a value
    EXPECT_EQ(attempt("127.0.0.5"), ORU_E_POST); // no session id
    EXPECT_EQ(attempt("127.0.0.5"), ORU_E_POST); // not JSON
    EXPECT_EQ(attempt("127.0.0.6"), ORU_E_TCP);  // nobody listens there
    EXPECT_EQ(server.requests().size(), 5u);

    oruDiskLibConnection connection = nullptr;
    oruDiskLibConnectParams no_password = {c("127.0.0.5"), c("alice"), nullptr, nullptr};
    EXPECT_EQ(oruDiskLib_Connect(no_password, &connection), ORU_E_PARAMS);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(oruDiskLib_DisConnect(nullptr), ORU_E_PARAMS);
}

TEST(Connect, ValuesAreEscapedInTheLoginBody) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.7", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json("{\"code\":107002}");
    const char *password = "p\"w\\\n";
    oruDiskLibConnection connection = nullptr;
    EXPECT_EQ(oruDiskLib_Connect(login_params("127.0.0.7", password), &connection), ORU_E_ACCOUNT);
    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    std::string body = request_body(seen[0]);
    EXPECT_EQ(header_value(seen[0], "Content-Length"), std::to_string(body.size()));
    cJSON *parsed = cJSON_Parse(body.c_str());
    ASSERT_NE(parsed, nullptr) << body;
    EXPECT_STREQ(cJSON_GetObjectItem(parsed, "password")->valuestring, password);
    cJSON_Delete(parsed);
}

TEST(SetAccessKey, AcceptedAndRejectedKeys) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.8", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json("{\"userName\":\"alice\"}");
    std::string message(150, 'm');
    message.replace(0, 8, "bad key ");
    server.answer_json("{\"code\":107003,\"message\":\"" + message + "\"}");

    oruDiskLibConnection connection = nullptr;
    oruDiskLibConnectParams key = {c("127.0.0.8"), nullptr, nullptr, c("ORU K:Z")};
    ASSERT_EQ(oruDiskLib_Set_AK(key, &connection), ORU_OK);
    oruDiskLibInConnection *record = in_connection(connection);
    EXPECT_STREQ(record->sessionid, "ORU K:Z");
    EXPECT_STREQ(record->ip, "127.0.0.8");
    EXPECT_EQ(record->username, nullptr);
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);

    connection = reinterpret_cast<oruDiskLibConnection>(0x1);
    EXPECT_EQ(oruDiskLib_Set_AK(key, &connection), ORU_E_ACCOUNT);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(std::string(nbderror), message.substr(0, 99));

    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n")), "GET /system/user/info HTTP/1.1");
    EXPECT_EQ(header_value(seen[0], "Authorization"), "ORU K:Z");

    oruDiskLibConnectParams plain_key = {c("127.0.0.8"), nullptr, nullptr, c("K:Z")};
    EXPECT_EQ(oruDiskLib_Set_AK(plain_key, &connection), ORU_E_PARAMS);
    oruDiskLibConnectParams nowhere = {c("127.0.0.9"), nullptr, nullptr, c("ORU K:Z")};
    EXPECT_EQ(oruDiskLib_Set_AK(nowhere, &connection), ORU_E_TCP);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(server.requests().size(), 2u);
}

} // namespace
