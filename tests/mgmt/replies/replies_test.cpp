// The reply readers of the management client on replies a server could send,
// well-formed and not.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mgmt/replies.h"
#include "util/json.h"

namespace {

using namespace oru::mgmt;

// What a reader keeps of reply fed in pieces of piece bytes, and whether it
// would stop reading (then `used` counts the bytes that were the reply's).
struct Framed {
    std::string kept;
    bool done;
    size_t used;
};
Framed frame(const std::string &reply, size_t room = 4096, size_t piece = 1 << 20,
             ReplyFramer::Keep keep = ReplyFramer::Keep::Body) {
    std::string out(room, '\0');
    ReplyFramer framer(out.data(), room, keep);
    size_t used = 0;
    for (size_t at = 0; at < reply.size() && !framer.done(); at += piece)
        used += framer.feed(reply.data() + at, std::min(piece, reply.size() - at));
    out.resize(framer.stored());
    return {out, framer.done(), used};
}

// Every split of the reply must give what the whole reply gives.
void expect_any_split(const std::string &reply, const std::string &kept, bool done,
                      size_t room = 4096) {
    for (size_t piece = 1; piece <= reply.size(); ++piece) {
        Framed f = frame(reply, room, piece);
        ASSERT_EQ(f.kept, kept) << "pieces of " << piece;
        ASSERT_EQ(f.done, done) << "pieces of " << piece;
    }
}

TEST(ReplyFraming, ContentLengthEndsTheReplyAndTheOldHeadRulesHold) {
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n{\"a\":\"b\"}";
    expect_any_split(reply, "{\"a\":\"b\"}", true);
    // A server that keeps the connection sends nothing more; one that sends
    // more than it declared: the rest is not the reply.
    Framed longer = frame(reply + "garbage");
    EXPECT_EQ(longer.kept, "{\"a\":\"b\"}");
    EXPECT_EQ(longer.used, reply.size());
    expect_any_split("HTTP/1.1 200 OK\ncontent-LENGTH:3\n\nabc", "abc", true);
    expect_any_split("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", true);
    expect_any_split("HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n", "", true);
    // Four line breaks in any mix end the head; text between them does not.
    expect_any_split("HTTP/1.1 200 OK\n\n\n\nLF-body", "LF-body", false);
    expect_any_split("HTTP/1.1 200 OK\r\r\r\rCR-body", "CR-body", false);
    expect_any_split("HTTP/1.1 200 OK\r\nX\r\nY: 1\r\n\r\nafter-letters", "after-letters", false);
    // Without a length (or with one that is no number) the peer's close ends it.
    expect_any_split("HTTP/1.0 200 OK\r\n\r\n{\"got\":1}", "{\"got\":1}", false);
    expect_any_split("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n{", "{",
                     false);
    expect_any_split("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n", "", false);
    // An interim reply is passed over.
    expect_any_split("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",
                     "{}", true);
}

TEST(ReplyFraming, ChunkedBodiesAreDecoded) {
    const std::string body = "{\"sessonId\":\"S-1;2\",\"userId\":\"u1\"}";
    const std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n"
                              "Content-Length: 3\r\n\r\n"
                              "5;name=value;x=\"q\"\r\n" +
                              body.substr(0, 5) + "\r\n" + "1D\r\n" + body.substr(5) +
                              "\r\n"
                              "0\r\nX-Trailer: t\r\nY: u\r\n\r\n";
    expect_any_split(reply, body, true);
    EXPECT_EQ(frame(reply + "HTTP/1.1 200 OK").used, reply.size());
    // No trailers, LF-only line ends.
    expect_any_split("HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n2\nab\n0\n\n", "ab", true);
    // A chunk size that is none ends the reply with what came before.
    expect_any_split("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\ncd",
                     "ab", true);
    // A transfer coding other than chunked lasts until the close.
    expect_any_split("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 1\r\n\r\nxyz",
                     "xyz", false);
}

TEST(ReplyFraming, FullRoomEndsTheReplyAndHeadsCanBeKept) {
    std::string big(100, 'b');
    expect_any_split("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + big, big.substr(0, 10),
                     true, 10);
    expect_any_split("HTTP/1.1 200 OK\r\n\r\n" + big, big.substr(0, 10), true, 10);
    expect_any_split("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n64\r\n" + big +
                         "\r\n0\r\n\r\n",
                     big.substr(0, 10), true, 10);
    // A room of nothing still ends the reply once its head is in.
    expect_any_split("HTTP/1.1 200 OK\r\n\r\n" + big, "", true, 0);
    // What the plain-HTTP readers keep: the head as sent, the body decoded,
    // at most room bytes in all.
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    Framed whole = frame(head + "3\r\n{\"a\r\n3\r\n\":1\r\n1\r\n}\r\n0\r\n\r\n", 4096, 7,
                         ReplyFramer::Keep::HeadAndBody);
    EXPECT_EQ(whole.kept, head + "{\"a\":1}");
    EXPECT_TRUE(whole.done);
    Framed cut = frame(head + "5\r\nabcde\r\n", head.size() + 2, 1, ReplyFramer::Keep::HeadAndBody);
    EXPECT_EQ(cut.kept, head + "ab");
    EXPECT_TRUE(cut.done);
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
    const char *listing =
        R"({"totalSize":1,"items":[{"userId":"u-2","accessKeyId":"A","accessKeySecret":"a"},
                              {"userId":"u-1","accessKeyId":"B","accessKeySecret":"b"}]})";
    std::string key;
    EXPECT_FALSE(access_key_from_listing(listing, "u-1", &key));
    EXPECT_TRUE(access_key_from_listing(listing, "u-2", &key));
    EXPECT_EQ(key, "ORU A:a");
    // A total larger than the array never reads past it.
    EXPECT_FALSE(access_key_from_listing(R"({"totalSize":1e9,"items":[]})", "u-1", &key));
    EXPECT_FALSE(access_key_from_listing(
        R"({"totalSize":1,"items":[{"userId":"u-1","accessKeyId":"A"}]})", "u-1", &key));
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
    for (const char *refused : {R"({"serverPort":"null"})", R"({"serverPort":0})",
                                R"({"serverPort":65536})", R"({"serverPort":true})", "{}"}) {
        oru::json::Document doc = oru::json::parse(refused);
        EXPECT_FALSE(export_port(doc.get(), &port)) << refused;
    }
}

} // namespace
