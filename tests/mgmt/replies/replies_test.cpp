// The reply readers of the management client on replies a server could send,
// well-formed and not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mgmt/replies.h"
#include "util/json.h"

namespace {

using namespace oru::mgmt;

TEST(ReplyFraming, HttpsBodyStartsAfterFourLineBreaksInAnyMix) {
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
    EXPECT_EQ(reply.substr(https_body_offset(reply)), "{}");
    EXPECT_EQ(https_body_offset("HTTP/1.0 200\n\r\n\rbody"), 16u);
    // Three breaks, text, then a line break: the head has not ended yet.
    EXPECT_EQ(https_body_offset("a\r\n\rb\n"), 6u);
    EXPECT_EQ(https_body_offset(""), 0u);
}

TEST(ReplyFraming, PlainReplyIsCompleteWithItsDeclaredBody) {
    EXPECT_TRUE(http_reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    EXPECT_TRUE(http_reply_complete("HTTP/1.1 200 OK\ncontent-LENGTH:3\n\nabc"));
    EXPECT_FALSE(http_reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n{}"));
    // Without a length only the peer's close ends the reply.
    EXPECT_FALSE(http_reply_complete("HTTP/1.1 200 OK\r\n\r\n{}"));
    EXPECT_FALSE(http_reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"));
    EXPECT_FALSE(http_reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n{"));
}

TEST(ReplyFraming, LastNonEmptyLineIsKeptTerminated) {
    std::vector<char> buf(32, 'x');
    keep_last_line("HTTP/1.1 200 OK\r\n\r\n{\"serverPort\":\"1\"}\r\n\r\n", buf.data(), 32);
    EXPECT_STREQ(buf.data(), "{\"serverPort\":\"1\"}");
    keep_last_line("single", buf.data(), 32);
    EXPECT_STREQ(buf.data(), "single");
    // Nothing but line breaks: the buffer is left as it was.
    keep_last_line("\r\n\n", buf.data(), 32);
    EXPECT_STREQ(buf.data(), "single");
}

TEST(ManagementReplies, LoginReplyGivesSessionOrRefusal) {
    LoginReply reply;
    parse_login_reply("{\"sessonId\":\"s-1\",\"userId\":\"u-1\"}", &reply);
    EXPECT_FALSE(reply.error_reply);
    EXPECT_EQ(reply.session_id, "s-1");
    EXPECT_EQ(reply.user_id, "u-1");
    parse_login_reply("{\"code\":107002,\"message\":\"wrong\"}", &reply);
    EXPECT_TRUE(reply.error_reply);
    EXPECT_TRUE(reply.wrong_password);
    EXPECT_TRUE(reply.session_id.empty());
    parse_login_reply("not json", &reply);
    EXPECT_FALSE(reply.error_reply);
    EXPECT_TRUE(reply.session_id.empty());
}

TEST(ManagementReplies, AccessKeyScanStopsAtTotalSize) {
    const char *listing = R"({"totalSize":1,"items":[{"userId":"u-2","accessKeyId":"A","accessKeySecret":"a"},
                              {"userId":"u-1","accessKeyId":"B","accessKeySecret":"b"}]})";
    std::string key;
    EXPECT_FALSE(access_key_from_listing(listing, "u-1", &key));
    EXPECT_TRUE(access_key_from_listing(listing, "u-2", &key));
    EXPECT_EQ(key, "ORU A:a");
    // A total larger than the array never reads past it.
    EXPECT_FALSE(access_key_from_listing(R"({"totalSize":1e9,"items":[]})", "u-1", &key));
    EXPECT_FALSE(access_key_from_listing(R"({"totalSize":1,"items":[{"userId":"u-1","accessKeyId":"A"}]})",
                                         "u-1", &key));
    EXPECT_EQ(rejection_text(R"({"code":1,"message":"key revoked"})"), "key revoked");
    EXPECT_EQ(rejection_text("{\"code\":1}"), "{\"code\":1}");
    EXPECT_EQ(reply_text(R"({"taskId":"t-1","state":"RUNNING"})", "state"), "RUNNING");
    EXPECT_FALSE(reply_text(R"({"state":7})", "state"));
    EXPECT_FALSE(reply_text("[", "state"));
}

TEST(ManagementReplies, LeastLoadedConnectedMountedHostIsChosen) {
    oru::json::Document listing = oru::json::parse(R"({"items":[
        {"id":"h1","name":"10.0.0.1","cpuUsage":40,"status":"CONNECTED","monMountState":"MOUNTED"},
        {"id":"h2","name":"10.0.0.2","cpuUsage":5,"status":"DISCONNECTED","monMountState":"MOUNTED"},
        {"id":"h3","name":"10.0.0.3","cpuUsage":20,"status":"CONNECTED","monMountState":"MOUNTED"},
        {"id":"h4","name":"10.0.0.4","status":"CONNECTED","monMountState":"MOUNTED"},
        {"id":"h5","name":"10.0.0.5","cpuUsage":1,"status":"CONNECTED","monMountState":"UNMOUNTED"}]})");
    ChosenHost chosen;
    ASSERT_TRUE(least_loaded_host(listing.get(), &chosen));
    EXPECT_EQ(chosen.id, "h3");
    EXPECT_EQ(chosen.address, "10.0.0.3");
    oru::json::Document busy = oru::json::parse(
        R"({"items":[{"id":"h","name":"n","cpuUsage":100,"status":"CONNECTED","monMountState":"MOUNTED"}]})");
    EXPECT_FALSE(least_loaded_host(busy.get(), &chosen));
    EXPECT_FALSE(least_loaded_host(nullptr, &chosen));
}

TEST(ManagementReplies, BackupAddressAndExportPort) {
    oru::json::Document networks =
        oru::json::parse(R"([{"portDtos":[{"ip":"10.1.0.7"},{"ip":"10.1.0.8"}]},{"portDtos":[]}])");
    EXPECT_EQ(backup_network_address(networks.get()), "10.1.0.7");
    oru::json::Document none = oru::json::parse("[]");
    EXPECT_FALSE(backup_network_address(none.get()));

    std::string port;
    oru::json::Document text = oru::json::parse(R"({"serverPort":"10809"})");
    ASSERT_TRUE(export_port(text.get(), &port));
    EXPECT_EQ(port, "10809");
    oru::json::Document number = oru::json::parse(R"({"serverPort":10810})");
    ASSERT_TRUE(export_port(number.get(), &port));
    EXPECT_EQ(port, "10810");
    for (const char *refused : {R"({"serverPort":"null"})", R"({"serverPort":0})", R"({"serverPort":65536})",
                                R"({"serverPort":true})", "{}"}) {
        oru::json::Document doc = oru::json::parse(refused);
        EXPECT_FALSE(export_port(doc.get(), &port)) << refused;
    }
}

} // namespace
