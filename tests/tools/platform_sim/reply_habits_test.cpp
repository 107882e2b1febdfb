// The simulator's reply habits on the wire: connections kept alive after a
// reply (and closed after the idle time), chunked bodies, replies dribbled in
// small pieces with pauses, and services that accept and never answer.
// curl (a client nobody here wrote) judges the TLS side; a raw socket shows
// the plain agent's bytes as they arrive.
#include "sim_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace oru::test {
namespace {

int connect_to(const char *address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct RawReply {
    std::string head, body; // body decoded from its chunks
    int reads = 0;          // recv calls that returned data
    bool complete = false;
};

// Reads one chunked reply (no extensions, no trailer) within 10 s.
RawReply read_chunked(int fd) {
    RawReply reply;
    std::string data;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (data.find("\r\n0\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        ++reply.reads;
        data.append(buffer, static_cast<size_t>(n));
    }
    size_t blank = data.find("\r\n\r\n");
    if (blank == std::string::npos) return reply;
    reply.head = data.substr(0, blank + 2);
    for (size_t at = blank + 4;;) {
        size_t line_end = data.find("\r\n", at);
        if (line_end == std::string::npos) return reply;
        size_t size = std::stoul(data.substr(at, line_end - at), nullptr, 16);
        if (size == 0) break;
        reply.body += data.substr(line_end + 2, size);
        at = line_end + 2 + size + 2;
    }
    reply.complete = true;
    return reply;
}

// True when the peer closes the connection within ms.
bool closed_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char byte;
    return recv(fd, &byte, 1, 0) == 0;
}

const char kAgentRequest[] =
    "POST /vm HTTP/1.1\r\nHost: 127.0.0.11:9753\r\nContent-Length: 20\r\n\r\n"
    "{\"action\":\"nothing\"}";

TEST(PlatformSimReplyHabits, KeptAliveChunkedAndDribbledOnTheWire) {
    auto platform = example_platform();
    platform["replies"] = {
        {"management",
         {{"keepAlive", 3},
          {"chunked", 8},
          {"chunkExtras", true},
          {"dribble", {{"bytes", 64}, {"pauseMs", 5}}}}},
        {"agent",
         {{"keepAlive", 2}, {"chunked", 4}, {"dribble", {{"bytes", 5}, {"pauseMs", 15}}}}}};
    PlatformSim sim(platform.dump());
    ORU_REQUIRE_SIM(sim);

    // TLS: curl makes both logins on one connection and decodes the chunks,
    // their extensions and the trailer.
    std::string login = quote(login_body("admin", "admin-pass"));
    std::string url = quote(std::string(kManagement) + "/system/user/sdklogin");
    CommandResult both =
        run("curl -sk -v --max-time 20 --data-binary " + login + " " + url + " " + url, true);
    ASSERT_EQ(both.status, 0) << both.out;
    EXPECT_NE(both.out.find("< Transfer-Encoding: chunked"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("< Connection: keep-alive"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("< Keep-Alive: timeout=3"), std::string::npos) << both.out;
    EXPECT_EQ(both.out.find("< Content-Length"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("Re-using existing connection"), std::string::npos) << both.out;
    size_t first = both.out.find("{\"sessonId\"");
    ASSERT_NE(first, std::string::npos) << both.out;
    EXPECT_NE(both.out.find("{\"sessonId\"", first + 1), std::string::npos) << both.out;
    std::vector<std::string> peers;
    for (auto &entry : sim.journal())
        if (entry.value("target", "") == "/system/user/sdklogin") peers.push_back(entry["peer"]);
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0], peers[1]) << "both requests came over one connection";

    // Plain HTTP: the agent's reply arrives in small pieces, slowly; the
    // connection stays open and serves a second request, then closes after
    // the idle time.
    int fd = connect_to("127.0.0.11", 9753);
    ASSERT_GE(fd, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(send(fd, kAgentRequest, sizeof kAgentRequest - 1, 0),
              static_cast<ssize_t>(sizeof kAgentRequest - 1));
    RawReply reply = read_chunked(fd);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(reply.complete) << reply.head;
    EXPECT_NE(reply.head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << reply.head;
    EXPECT_NE(reply.head.find("Connection: keep-alive\r\nKeep-Alive: timeout=2\r\n"),
              std::string::npos);
    auto json = nlohmann::json::parse(reply.body, nullptr, false);
    EXPECT_EQ(json.value("serverPort", ""), "null") << reply.body;
    // Over 150 bytes in writes of 5 with 15 ms between them.
    EXPECT_GE(took, 0.3);
    EXPECT_GE(reply.reads, 3);
    EXPECT_FALSE(closed_within(fd, 500)) << "kept alive for 2 s";
    ASSERT_EQ(send(fd, kAgentRequest, sizeof kAgentRequest - 1, 0),
              static_cast<ssize_t>(sizeof kAgentRequest - 1));
    EXPECT_TRUE(read_chunked(fd).complete);
    EXPECT_TRUE(closed_within(fd, 2000 + 5000)) << "closed once idle for 2 s";
    close(fd);

    // An HTTP/1.0 client that does not ask to keep the connection gets
    // "Connection: close" and the end of the stream.
    fd = connect_to("127.0.0.11", 9753);
    ASSERT_GE(fd, 0);
    std::string old = kAgentRequest;
    old.replace(old.find("HTTP/1.1"), 8, "HTTP/1.0");
    ASSERT_EQ(send(fd, old.data(), old.size(), 0), static_cast<ssize_t>(old.size()));
    reply = read_chunked(fd);
    EXPECT_NE(reply.head.find("Connection: close\r\n"), std::string::npos) << reply.head;
    EXPECT_TRUE(closed_within(fd, 5000));
    close(fd);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(PlatformSimReplyHabits, SilentServicesAcceptAndNeverAnswer) {
    auto platform = example_platform();
    platform["replies"] = {{"management", {{"silent", true}}}};
    platform["faults"] = {{{"service", "agent"}, {"host", "host-1"}, {"silent", true}}};
    PlatformSim sim(platform.dump());
    ORU_REQUIRE_SIM(sim);

    // curl's exit status 28 is its own time-out: connected, then no answer
    // (not even the TLS handshake from the management server).
    CommandResult management =
        run("curl -sk --max-time 2 " + quote(std::string(kManagement) + "/sim/state"));
    EXPECT_EQ(management.status, 28) << management.out;
    CommandResult agent = run("curl -s --max-time 2 --data-binary '{}' http://127.0.0.11:9753/vm");
    EXPECT_EQ(agent.status, 28) << agent.out;
    // The other agent answers as usual.
    CommandResult other = run("curl -s --max-time 10 --data-binary '{}' http://127.0.0.12:9753/vm");
    EXPECT_EQ(other.status, 0);
    EXPECT_NE(other.out.find("serverPort"), std::string::npos) << other.out;

    bool journaled = false;
    for (auto &entry : sim.journal())
        if (entry.value("service", "") == "agent host-1" && entry.contains("reply"))
            journaled = entry["reply"] == nlohmann::json{{"silent", true}};
    EXPECT_TRUE(journaled);
    // Held connections do not keep the simulator from stopping.
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
} // namespace oru::test
