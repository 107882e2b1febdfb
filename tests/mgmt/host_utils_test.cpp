// ping and firewall ports inside the test's own network namespace.
#include <gtest/gtest.h>

#include <string>

#include "mgmt/mgmt.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

using oru::test::run;

namespace {

char *c(const char *text) {
    return const_cast<char *>(text);
}

std::string rules() {
    return run("iptables -S 2>/dev/null").out;
}

class HostUtils : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        ORU_REQUIRE_PROGRAM("iptables");
        ORU_REQUIRE_PROGRAM("ping");
        // Only inside a namespace of our own may the firewall change.
        if (run("ip -o link show | grep -cv ': lo:'").out != "0\n")
            GTEST_SKIP() << "not inside a private network namespace";
        if (run("iptables -S >/dev/null 2>&1").status != 0) GTEST_SKIP() << "iptables unusable";
    }
};

TEST_F(HostUtils, PingTellsAnsweringFromSilentAddresses) {
    EXPECT_EQ(oruDiskLib_ping(c("127.0.0.2")), 0);
    ASSERT_EQ(run("iptables -A INPUT -d 127.0.0.3 -p icmp -j DROP").status, 0);
    EXPECT_EQ(oruDiskLib_ping(c("127.0.0.3")), -1);
    EXPECT_EQ(run("iptables -D INPUT -d 127.0.0.3 -p icmp -j DROP").status, 0);
    EXPECT_EQ(oruDiskLib_ping(c("localhost")), 0);
}

TEST_F(HostUtils, InjectionAttemptsRunNothing) {
    oru::test::TempDir dir;
    std::string marker = dir.file("ran");
    std::string tries[] = {"127.0.0.2;touch " + marker,
                           "127.0.0.2 && touch " + marker,
                           "$(touch " + marker + ")",
                           "`touch " + marker + "`",
                           "-f 127.0.0.2",
                           "127.0.0.2 -c 1 -w",
                           ""};
    for (const std::string &address : tries)
        EXPECT_EQ(oruDiskLib_ping(c(address.c_str())), -1) << address;
    EXPECT_EQ(oruDiskLib_ping(nullptr), -1);

    std::string before = rules();
    std::string ports[] = {
        "80;touch " + marker, "80 -j DROP", "0", "65536", "-1", "", "8o", "123456"};
    for (const std::string &port : ports) {
        EXPECT_EQ(port_Open(c(port.c_str())), ORU_E_FAIL) << port;
        EXPECT_EQ(port_Close(c(port.c_str())), ORU_E_FAIL) << port;
    }
    EXPECT_EQ(port_Open(nullptr), ORU_E_FAIL);
    EXPECT_EQ(run("test -e " + oru::test::quote(marker)).status, 1);
    EXPECT_EQ(rules(), before);
}

TEST_F(HostUtils, PortRulesAppearAndGo) {
    std::string input_rule = "-A INPUT -p tcp -m tcp --dport 10809 -j ACCEPT";
    std::string output_rule = "-A OUTPUT -p tcp -m tcp --dport 10809 -j ACCEPT";
    ASSERT_EQ(port_Open(c("10809")), ORU_OK);
    std::string opened = rules();
    EXPECT_NE(opened.find(input_rule), std::string::npos) << opened;
    EXPECT_NE(opened.find(output_rule), std::string::npos) << opened;
    ASSERT_EQ(port_Close(c("10809")), ORU_OK);
    std::string closed = rules();
    EXPECT_EQ(closed.find("10809"), std::string::npos) << closed;
    // Nothing left to delete.
    EXPECT_EQ(port_Close(c("10809")), ORU_E_FAIL);
}

} // namespace
