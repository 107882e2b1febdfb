// The request layer against scripted peers: exact request bytes, reply head
// handling, limits, failures and the exchange lock.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "https_post.h"
#include "mgmt/scripted_peer.h"
#include "oruDiskLib.h"

using oru::test::http_reply;
using oru::test::raw_reply;
using oru::test::ScriptedPeer;
using oru::test::ScriptedReply;

namespace {

char *c(const std::string &text) {
    return const_cast<char *>(text.c_str());
}
char *c(const char *text) {
    return const_cast<char *>(text);
}

const std::string kBlock = "User-Agent: Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)\r\n"
                           "Connection: Keep-Alive\r\n"
                           "version: 5.8 \r\n"
                           "Content-type: application/json;charset=utf-8\r\n";

// A GET for path through the layer with a zero-filled buffer of room + 1.
struct Reply {
    int rc;
    std::vector<char> buffer;
    std::string text() const { return buffer.data(); }
};
Reply get(const std::string &host, int port, const char *path, const char *aut, int room = 4095) {
    Reply r{0, std::vector<char>(static_cast<size_t>(room) + 1, '\0')};
    r.rc = https_get(c(host), port, c(path), c(aut), r.buffer.data(), room);
    return r;
}

TEST(RequestTexts, BuildersWriteTheExactRequests) {
    EXPECT_EQ(std::strlen(HttpsPostHeaders), 150u);
    EXPECT_EQ(HttpsPostHeaders, kBlock);
    char data[1024];
    std::memset(data, 'x', sizeof data);
    const char *body = "{\"userId\":\"u1\"}";
    std::string post = "POST /accesskeys HTTP/1.0\r\nHost: 10.0.0.5:443\r\n" + kBlock +
                       "Authorization: A\r\nContent-Length: 15\r\n\r\n{\"userId\":\"u1\"}";
    EXPECT_EQ(post_pack(c("10.0.0.5"), 443, c("/accesskeys"), c("A"), 15, c(body), data),
              static_cast<int>(post.size()));
    EXPECT_EQ(std::string(data), post);
    ASSERT_GT(put_pack(c("10.0.0.5"), 443, c("/p"), nullptr, 0, c(""), data), 0);
    EXPECT_EQ(std::string(data), "PUT /p HTTP/1.0\r\nHost: 10.0.0.5:443\r\n" + kBlock +
                                     "Authorization: (null)\r\nContent-Length: 0\r\n\r\n");
    std::string get_text =
        "GET /accesskeys HTTP/1.1\r\nHost: 10.0.0.5\r\n" + kBlock + "Authorization: A\r\n\r\n";
    EXPECT_EQ(get_pack(c("10.0.0.5"), 443, c("/accesskeys"), c("A"), 99, c("ignored"), data),
              static_cast<int>(get_text.size()));
    EXPECT_EQ(std::string(data), get_text);
    ASSERT_GT(delete_pack(c("h"), 1, c("/d"), nullptr, 0, nullptr, data), 0);
    EXPECT_EQ(std::string(data),
              "DELETE /d HTTP/1.1\r\nHost: h\r\n" + kBlock + "Authorization: (null)\r\n\r\n");
}

TEST(Https, SendsExactBytesAndHandsBackOnlyTheBody) {
    ScriptedPeer peer(ScriptedPeer::Kind::Tls, "127.0.0.2", 443);
    ASSERT_TRUE(peer.listening());
    peer.answer_json("{\"taskId\":\"t1\"}");
    peer.answer_json("{\"ok\":1}");
    peer.answer_json("{}");
    peer.answer_json("{}");

    std::string body = "{\"userId\":\"u1\"}";
    std::vector<char> buffer(4097, '\0');
    ASSERT_EQ(
        https_post(c("127.0.0.2"), 443, c("/accesskeys"), c(body), 15, c("A"), buffer.data(), 4096),
        ORU_OK);
    EXPECT_STREQ(buffer.data(), "{\"taskId\":\"t1\"}");
    Reply r = get("127.0.0.2", 443, "/accesskeys", nullptr);
    ASSERT_EQ(r.rc, ORU_OK);
    EXPECT_EQ(r.text(), "{\"ok\":1}");
    std::fill(buffer.begin(), buffer.end(), '\0');
    EXPECT_EQ(https_put(c("127.0.0.2"), 443, c("/volumes?action=setOpenMode"), c("{}"), 2, c("S"),
                        buffer.data(), 4096),
              ORU_OK);
    EXPECT_EQ(https_delete(c("127.0.0.2"), 443, c("/x/1"), c("S"), buffer.data(), 4096), ORU_OK);

    std::vector<std::string> seen = peer.requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "POST /accesskeys HTTP/1.0\r\nHost: 127.0.0.2:443\r\n" + kBlock +
                           "Authorization: A\r\nContent-Length: 15\r\n\r\n" + body);
    EXPECT_EQ(seen[1], "GET /accesskeys HTTP/1.1\r\nHost: 127.0.0.2\r\n" + kBlock +
                           "Authorization: (null)\r\n\r\n");
    EXPECT_EQ(seen[2].substr(0, seen[2].find("\r\n", 50)),
              "PUT /volumes?action=setOpenMode HTTP/1.0\r\nHost: 127.0.0.2:443");
    EXPECT_EQ(seen[3].substr(0, seen[3].find("\r\n") + 2), "DELETE /x/1 HTTP/1.1\r\n");
}

TEST(Https, LongValuesAreSentWhole) {
    ScriptedPeer peer(ScriptedPeer::Kind::Tls, "127.0.0.3", 443);
    ASSERT_TRUE(peer.listening());
    peer.answer_json("{}");
    peer.answer_json("{}");
    std::string path = "/storages/" + std::string(6000, 'd') + "/hosts?type=available";
    std::string key = "ORU " + std::string(5000, 'k') + ":" + std::string(5000, 's');
    ASSERT_EQ(get("127.0.0.3", 443, path.c_str(), key.c_str()).rc, ORU_OK);
    std::string body = "{\"diskPath\":\"" + std::string(9000, 'p') + "\"}";
    std::vector<char> buffer(64, '\0');
    ASSERT_EQ(https_post(c("127.0.0.3"), 443, c(path), c(body), static_cast<int>(body.size()),
                         c(key), buffer.data(), 63),
              ORU_OK);
    std::vector<std::string> seen = peer.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n")), "GET " + path + " HTTP/1.1");
    EXPECT_EQ(oru::test::header_value(seen[0], "Authorization"), key);
    EXPECT_EQ(oru::test::header_value(seen[1], "Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(oru::test::request_body(seen[1]), body);
}

TEST(Https, HeadSkipAndBodyLimits) {
    ScriptedPeer peer(ScriptedPeer::Kind::Tls, "127.0.0.4", 443);
    ASSERT_TRUE(peer.listening());
    peer.answer(raw_reply("HTTP/1.1 200 OK\n\n\n\nLF-body"));
    peer.answer(raw_reply("HTTP/1.1 200 OK\r\r\r\rCR-body"));
    peer.answer(raw_reply("HTTP/1.1 200 OK\r\nX\r\nY: 1\r\n\r\nafter-letters"));
    peer.answer(raw_reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n123456789"));
    std::string big(70000, 'b');
    big[65534] = 'E';
    peer.answer(raw_reply("HTTP/1.1 200 OK\r\n\r\n" + big));
    peer.answer(raw_reply("HTTP/1.1 204 No Content\r\n"));

    EXPECT_EQ(get("127.0.0.4", 443, "/a", "A").text(), "LF-body");
    EXPECT_EQ(get("127.0.0.4", 443, "/a", "A").text(), "CR-body");
    EXPECT_EQ(get("127.0.0.4", 443, "/a", "A").text(), "after-letters");
    // The declared length ends the body; what follows is no part of it.
    EXPECT_EQ(get("127.0.0.4", 443, "/a", "A").text(), "12345");
    Reply limited = get("127.0.0.4", 443, "/a", "A", 65535);
    ASSERT_EQ(limited.rc, ORU_OK);
    EXPECT_EQ(limited.text().size(), 65535u);
    EXPECT_EQ(limited.buffer[65534], 'E');
    Reply head_only = get("127.0.0.4", 443, "/a", "A");
    EXPECT_EQ(head_only.rc, ORU_OK);
    EXPECT_EQ(head_only.text(), "");
    EXPECT_EQ(ssl_recv(nullptr, limited.buffer.data(), 10), -1);
}

TEST(Https, ConnectFailures) {
    EXPECT_EQ(client_connect_tcp(c("127.0.0.5"), 443), -3);
    EXPECT_EQ(client_connect_tcp(c("no-such-host.invalid"), 443), -2);
    EXPECT_EQ(get("127.0.0.5", 443, "/a", "A").rc, ORU_E_TCP);
    EXPECT_EQ(get("no-such-host.invalid", 443, "/a", "A").rc, ORU_E_TCP);
}

// A peer that answers the handshake in plain text fails the send step and
// must leave the exchange lock free for the request waiting behind it.
TEST(Https, NonTlsPeerGivesSendErrorAndReleasesTheLock) {
    ScriptedPeer plain(ScriptedPeer::Kind::Plain, "127.0.0.6", 443);
    ScriptedPeer tls(ScriptedPeer::Kind::Tls, "127.0.0.7", 443);
    ASSERT_TRUE(plain.listening() && tls.listening());
    ScriptedReply refusal = raw_reply("HTTP/1.0 400 Bad Request\r\n\r\nplain text here");
    refusal.read_request = false;
    refusal.delay = std::chrono::milliseconds(300);
    plain.answer(refusal);
    plain.answer(refusal);
    tls.answer_json("{\"after\":true}");

    EXPECT_EQ(get("127.0.0.6", 443, "/a", "A").rc, ORU_E_SEND);
    ASSERT_EQ(pthread_mutex_trylock(&tamb_mutex), 0);
    pthread_mutex_unlock(&tamb_mutex);

    int failed = -1;
    std::thread first([&] { failed = get("127.0.0.6", 443, "/a", "A").rc; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Reply waited = get("127.0.0.7", 443, "/b", "A");
    first.join();
    EXPECT_EQ(failed, ORU_E_SEND);
    EXPECT_EQ(waited.rc, ORU_OK);
    EXPECT_EQ(waited.text(), "{\"after\":true}");
}

struct AgentReply {
    int rc;
    std::vector<char> buffer;
    std::string text() const { return buffer.data(); }
};
AgentReply agent_post(const char *ip, int port, const char *body, int size = 4096) {
    AgentReply r{0, std::vector<char>(static_cast<size_t>(size), '#')};
    r.buffer.back() = '\0';
    r.rc = http_post(c(ip), port, c("/vm"), c(body), nullptr, r.buffer.data(), size);
    return r;
}

TEST(Http, ExactRequestsAndLastLineOfTheReply) {
    ScriptedPeer agent(ScriptedPeer::Kind::Plain, "127.0.0.8", 9753);
    ASSERT_TRUE(agent.listening());
    agent.answer_json("{\"serverPort\":\"10809\"}");
    agent.answer(raw_reply("HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n{\"a\":1,\r\n\"b\":2}\n"));
    agent.answer(raw_reply("HTTP/1.1 200 OK\r\nServer: agent\r\nContent-Length: 0\r\n\r\n"));
    agent.answer(raw_reply("HTTP/1.0 200 OK\r\n\r\n{\"got\":1}"));

    const char *body = "{\"action\": \"pre_remote_rw\"}";
    AgentReply first = agent_post("127.0.0.8", 9753, body);
    ASSERT_EQ(first.rc, ORU_OK);
    EXPECT_EQ(first.text(), "{\"serverPort\":\"10809\"}");
    EXPECT_EQ(agent_post("127.0.0.8", 9753, body).text(), "\"b\":2}");
    EXPECT_EQ(agent_post("127.0.0.8", 9753, body).text(), "Content-Length: 0");
    std::vector<char> buf(256, '\0');
    ASSERT_EQ(http_get(c("127.0.0.8"), 9753, c("/vm?x=1"), c("T"), buf.data(), 256), ORU_OK);
    EXPECT_STREQ(buf.data(), "{\"got\":1}");

    std::vector<std::string> seen = agent.requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "POST /vm HTTP/1.1\r\nContent-Type: application/json;charset=utf-8\r\n"
                       "Host:127.0.0.8\r\nAuthentication: (null)\r\nContent-Length: 27\r\n\r\n" +
                           std::string(body));
    EXPECT_EQ(seen[3], "GET /vm?x=1 HTTP/1.0\r\nContent-Type: application/json;charset=utf-8\r\n"
                       "Host:127.0.0.8\r\nAuthentication: T\r\n\r\n\r\n");
}

TEST(Http, SplitReplyKeepsItsBody) {
    ScriptedPeer agent(ScriptedPeer::Kind::Plain, "127.0.0.9", 9753);
    ASSERT_TRUE(agent.listening());
    ScriptedReply split;
    std::string json = "{\"serverPort\":\"10811\"}";
    split.segments = {
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(json.size()) + "\r\n\r\n", json};
    split.pause = std::chrono::milliseconds(200);
    agent.answer(split);
    // Without Content-Length the reply lasts until the peer closes.
    ScriptedReply unsized;
    unsized.segments = {"HTTP/1.1 200 OK\r\n\r\n{\"serverPort\":", "\"10812\"}"};
    unsized.pause = std::chrono::milliseconds(200);
    agent.answer(unsized);
    EXPECT_EQ(agent_post("127.0.0.9", 9753, "{}").text(), json);
    EXPECT_EQ(agent_post("127.0.0.9", 9753, "{}").text(), "{\"serverPort\":\"10812\"}");
}

TEST(Http, Failures) {
    // An agent may be named: the name is looked up, and one that is not
    // found fails before any connect.
    EXPECT_EQ(agent_post("no-such-host.invalid", 9753, "{}").rc, ORU_E_TCP);
    EXPECT_EQ(agent_post("localhost", 9753, "{}").rc, ORU_E_CONNECT_FAIL);
    EXPECT_EQ(agent_post("127.0.0.10", 9753, "{}").rc, ORU_E_CONNECT_FAIL);

    ScriptedPeer silent(ScriptedPeer::Kind::Plain, "127.0.0.10", 9753);
    ASSERT_TRUE(silent.listening());
    silent.answer(raw_reply(""));
    AgentReply nothing = agent_post("127.0.0.10", 9753, "{}", 8);
    EXPECT_EQ(nothing.rc, ORU_E_RECV);
    EXPECT_EQ(nothing.text(), "#######");

    // A reply larger than the buffer is cut, and the buffer stays terminated.
    silent.answer(http_reply(std::string(100, 'z')));
    AgentReply cut = agent_post("127.0.0.10", 9753, "{}", 16);
    EXPECT_EQ(cut.rc, ORU_OK);
    EXPECT_LT(cut.text().size(), 16u);
}

} // namespace
