// The host agent's export reply: a "serverPort" text that is no decimal port
// must not pass for one. Found by the mgmt_replies and http_reply targets
// with an empty text, which the selection stored as the export's port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mgmt/replies.h"
#include "util/json.h"

namespace {

using oru::mgmt::export_port;

bool port_of(const char *reply, std::string *port) {
    oru::json::Document doc = oru::json::parse(reply);
    return export_port(doc.get(), port);
}

TEST(FuzzRegression, EmptyServerPortIsNoExport) {
    std::string port = "unchanged";
    EXPECT_FALSE(port_of(R"({"serverPort":"","eage":"]esse"})", &port));
    EXPECT_EQ(port, "unchanged");
}

TEST(FuzzRegression, AgentReplyLastLineWithEmptyPortIsNoExport) {
    // The http_reply input: its peer bytes "\x12{...}" reach the last-line
    // split as a single line, which is then read as the agent's reply.
    const std::string peer = std::string("\x12") + R"({"serverPort":""})";
    std::vector<char> line(2 + 'H' * 64, '\0');
    oru::mgmt::keep_last_line(peer, line.data(), static_cast<int>(line.size()));
    std::string port;
    EXPECT_FALSE(port_of(line.data(), &port));
}

TEST(FuzzRegression, OnlyDecimalPortsAreTaken) {
    std::string port;
    for (const char *refused : {R"({"serverPort":"null"})", R"({"serverPort":"nbd"})",
                                R"({"serverPort":"0"})", R"({"serverPort":"65536"})",
                                R"({"serverPort":"108090"})", R"({"serverPort":" 10809"})",
                                R"({"serverPort":"10809x"})", R"({"serverPort":"-1"})"})
        EXPECT_FALSE(port_of(refused, &port)) << refused;
    ASSERT_TRUE(port_of(R"({"serverPort":"10809"})", &port));
    EXPECT_EQ(port, "10809");
    ASSERT_TRUE(port_of(R"({"serverPort":"65535"})", &port));
    EXPECT_EQ(port, "65535");
}

} // namespace
