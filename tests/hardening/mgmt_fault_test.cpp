// Management server and host agent misbehaving: a reply cut off mid-body, a
// reply of binary garbage, a reply far larger than any buffer, a connection
// reset in the middle of the TLS handshake, and a host agent that answers
// with something other than JSON. Each failure must come back as an error
// code (no crash, no hang), release tamb_mutex, leave no connection record
// behind, and the next request must work.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "hardening/resource_probe.h"
#include "core/handle.h"
#include "https_post.h"
#include "mgmt/scripted_peer.h"
#include "oruDiskLib.h"
#include "support/platform_sim.h"

using namespace oru::test;

namespace {

char *c(const char *text) { return const_cast<char *>(text); }

const char kLogin[] = "{\"sessonId\":\"S1\",\"userId\":\"u1\"}";
const char kOwnKey[] = "{\"totalSize\":1,\"items\":[{\"userId\":\"u1\",\"accessKeyId\":\"K\","
                       "\"accessKeySecret\":\"Z\"}]}";

oruError connect_to(const char *host, oruDiskLibConnection *conn) {
    *conn = nullptr;
    return oruDiskLib_Connect(oruDiskLibConnectParams{c(host), c("alice"), c("pw"), nullptr}, conn);
}

bool exchange_lock_free() {
    if (pthread_mutex_trylock(&tamb_mutex) != 0) return false;
    pthread_mutex_unlock(&tamb_mutex);
    return true;
}

// A server that accepts, takes the first bytes of the client's handshake
// after `wait`, and answers with a TCP reset (SO_LINGER 0).
class ResettingPeer {
  public:
    ResettingPeer(const char *address, int port, std::chrono::milliseconds wait) : wait_(wait) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~ResettingPeer() {
        stop_ = true;
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool listening() const { return fd_ >= 0; }
    int handshakes_seen() const { return seen_; }

  private:
    void serve() {
        while (!stop_) {
            int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            char hello[512];
            if (::recv(client, hello, sizeof hello, 0) > 0) ++seen_;
            std::this_thread::sleep_for(wait_);
            linger reset{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(client);
        }
    }
    int fd_ = -1;
    std::chrono::milliseconds wait_;
    std::atomic<bool> stop_{false};
    std::atomic<int> seen_{0};
    std::thread thread_;
};

// Every fault of the management server in turn on one scripted peer; after
// each, a well-formed conversation on the same peer must succeed.
TEST(ManagementFaults, CutGarbledAndOversizedRepliesFailCleanly) {
    std::mt19937_64 rng(3);
    std::string garbage(4096, '\0');
    for (auto &ch : garbage) ch = static_cast<char>(rng());
    const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n{\"sessonId\":\"S1\",\"us";
    ScriptedReply slow_cut = raw_reply(cut);
    slow_cut.segments = {cut.substr(0, 20), cut.substr(20)}; // the head arrives in pieces
    const std::string huge = "HTTP/1.1 200 OK\r\n\r\n" + std::string(300000, '[');

    struct Case {
        const char *what;
        std::vector<ScriptedReply> replies; // before the conversation fails
    } cases[] = {
        {"login reply cut mid-body", {raw_reply(cut)}},
        {"login reply head in pieces, body cut", {slow_cut}},
        {"login reply of binary garbage", {raw_reply(garbage)}},
        {"login reply with a garbage body", {raw_reply("HTTP/1.1 200 OK\r\n\r\n" + garbage)}},
        {"login reply far larger than the buffer", {raw_reply(huge)}},
        {"empty login reply", {raw_reply("")}},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        // A peer of its own for each case; once its script is used up it
        // refuses whatever follows (a logout, a key creation).
        ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.21", 443);
        ASSERT_TRUE(server.listening());
        for (auto &reply : k.replies) server.answer(reply);
        oruDiskLibConnection conn = nullptr;
        EXPECT_NE(connect_to("127.0.0.21", &conn), ORU_OK);
        EXPECT_EQ(conn, nullptr);
        EXPECT_TRUE(exchange_lock_free());
    }
    // A login that worked keeps its session when the key listing that
    // follows is cut or garbled (the key only improves on the session): the
    // connection works and logs out.
    for (const std::string &listing : {cut, garbage}) {
        ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.21", 443);
        ASSERT_TRUE(server.listening());
        server.answer_json(kLogin);
        server.answer(raw_reply(listing));
        server.answer_json("{\"code\":100400,\"message\":\"no key creation\"}");
        server.answer(raw_reply(listing));
        server.answer_json("{\"result\":\"logged out\"}");
        oruDiskLibConnection conn = nullptr;
        ASSERT_EQ(connect_to("127.0.0.21", &conn), ORU_OK);
        EXPECT_STREQ(reinterpret_cast<oruDiskLibInConnection *>(conn)->sessionid, "S1");
        EXPECT_TRUE(exchange_lock_free());
        EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
        EXPECT_EQ(server.requests().size(), 5u);
    }
    // Then a clean conversation.
    ScriptedPeer fresh(ScriptedPeer::Kind::Tls, "127.0.0.22", 443);
    ASSERT_TRUE(fresh.listening());
    fresh.answer_json(kLogin);
    fresh.answer_json(kOwnKey);
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(connect_to("127.0.0.22", &conn), ORU_OK);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
}

TEST(ManagementFaults, ResetDuringTheHandshakeReleasesTheLock) {
    ResettingPeer resetting("127.0.0.23", 443, std::chrono::milliseconds(0));
    ASSERT_TRUE(resetting.listening());
    std::vector<char> reply(4096, '\0');
    EXPECT_EQ(https_get(c("127.0.0.23"), 443, c("/system/user/info"), c("A"), reply.data(), 4095),
              ORU_E_SEND);
    EXPECT_TRUE(exchange_lock_free());
    oruDiskLibConnection conn = nullptr;
    EXPECT_NE(connect_to("127.0.0.23", &conn), ORU_OK);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(exchange_lock_free());
    EXPECT_GE(resetting.handshakes_seen(), 2);

    // A request of another thread waiting for the lock behind a handshake
    // that ends in a reset goes ahead afterwards.
    ResettingPeer slow("127.0.0.24", 443, std::chrono::milliseconds(400));
    ScriptedPeer good(ScriptedPeer::Kind::Tls, "127.0.0.25", 443);
    ASSERT_TRUE(slow.listening() && good.listening());
    good.answer_json(kLogin);
    good.answer_json(kOwnKey);
    int failed = -1;
    std::thread first([&] {
        std::vector<char> buffer(4096, '\0');
        failed = https_get(c("127.0.0.24"), 443, c("/a"), c("A"), buffer.data(), 4095);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(connect_to("127.0.0.25", &conn), ORU_OK);
    first.join();
    EXPECT_EQ(failed, ORU_E_SEND);
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
    EXPECT_TRUE(exchange_lock_free());
}

// The request layer alone: whatever the agent answers, http_post ends and
// hands back its last line or an error code.
TEST(AgentFaults, NonJsonRepliesEndTheExchange) {
    ScriptedPeer agent(ScriptedPeer::Kind::Plain, "127.0.0.26", 9753);
    ASSERT_TRUE(agent.listening());
    std::string binary(2000, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
    agent.answer(raw_reply("HTTP/1.1 500 Oops\r\n\r\n<html><body>agent crashed</body></html>"));
    agent.answer(raw_reply(binary));
    agent.answer(raw_reply(""));
    char body[] = "{\"action\":\"pre_remote_rw\"}";
    std::vector<char> buf(4096, '\0');
    EXPECT_EQ(http_post(c("127.0.0.26"), 9753, c("/vm"), body, nullptr, buf.data(), 4096), ORU_OK);
    EXPECT_STREQ(buf.data(), "<html><body>agent crashed</body></html>");
    EXPECT_EQ(http_post(c("127.0.0.26"), 9753, c("/vm"), body, nullptr, buf.data(), 4096), ORU_OK);
    EXPECT_EQ(http_post(c("127.0.0.26"), 9753, c("/vm"), body, nullptr, buf.data(), 4096), ORU_E_RECV);
}

std::string read_text(const std::string &path) {
    std::vector<uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// Through a whole NBD open: an agent answering HTML, binary bytes or
// nothing fails the open with its code and a log line; the handle closes;
// the next open (the fault has fired its turns) attaches and moves data.
TEST(AgentFaults, NonJsonExportRepliesFailTheOpenAndTheNextOneWorks) {
    ORU_REQUIRE_ROOT();
    ORU_REQUIRE_PROGRAM("qemu-nbd");
    ORU_REQUIRE_PROGRAM("qemu-img");
    TempDir dir;
    const std::string image = dir.file("vol.raw");
    write_file(image, pattern(4 * 1024 * 1024, 8));
    const std::string uuid = "hardening-agent-fault";
    nlohmann::json config = {
        {"address", "127.0.0.10"},
        {"users", {{{"name", "backup"}, {"password", "pw"}, {"accessKeys", {{{"id", "AK1"}, {"secret", "S1"}}}}}}},
        {"hosts", {{{"id", "host-1"}, {"address", "127.0.0.11"}, {"dataStores", {"ds-1"}}}}},
        {"volumes", {{{"uuid", uuid}, {"dataStore", "ds-1"}, {"image", image}}}},
        {"taskStates", {{"openMode", {"FINISHED"}}, {"accessKey", {"FINISHED"}}}},
        {"faults",
         {{{"service", "agent"}, {"times", 1}, {"body", "<html>502 Bad Gateway</html>"}},
          {{"service", "agent"}, {"times", 1}, {"body", std::string("\x01\x02garbage\x7f\x03", 12)}},
          {{"service", "agent"}, {"times", 1}, {"close", true}}}}};
    PlatformSim sim(config.dump());
    ASSERT_TRUE(sim.ready());
    oruDiskLibConnection conn = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(oruDiskLibConnectParams{c("127.0.0.10"), c("backup"), c("pw"), nullptr}, &conn),
              ORU_OK);
    oruDiskLibVolume volume{};
    volume.diskPath = c("/datastore/vol");
    volume.diskFormat = ORU_RAW;
    volume.volumeUuid = const_cast<char *>(uuid.c_str());
    volume.dataStoreid = c("ds-1");
    const std::string log = "/var/log/tamb/" + uuid + ".log";
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);

    const oruError expected[] = {ORU_E_NBD_EXPORT, ORU_E_NBD_EXPORT, ORU_E_RECV};
    for (oruError want : expected) {
        SCOPED_TRACE(want);
        EXPECT_EQ(oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, conn), want);
        std::string text = read_text(log);
        EXPECT_NE(text.find("/vm"), std::string::npos) << text;
        if (want == ORU_E_NBD_EXPORT) {
            EXPECT_NE(text.find("cJSON_Parse failed"), std::string::npos) << text;
        }
        std::vector<uint8_t> sector(512);
        EXPECT_NE(oruDiskLib_Read(handle, &volume, 0, 1, sector.data()), ORU_OK);
        oruDiskLib_Close(handle, &volume);
        EXPECT_TRUE(exchange_lock_free());
    }
    ASSERT_EQ(oruDiskLib_Open(&volume, ORU_RW, "nbd", true, handle, conn), ORU_OK);
    std::vector<uint8_t> got(64 * 512);
    ASSERT_EQ(oruDiskLib_Read(handle, &volume, 16, 64, got.data()), ORU_OK);
    EXPECT_EQ(got, pattern(got.size(), 8, 16 * 512));
    EXPECT_EQ(oruDiskLib_Close(handle, &volume), ORU_OK);
    oruDiskLib_Finalize(&handle);
    EXPECT_EQ(oruDiskLib_DisConnect(conn), ORU_OK);
    unlink(log.c_str());
}

} // namespace
