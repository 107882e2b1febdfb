// setOpenMode against a scripted management server on port 443.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
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

TEST(OpenMode, FlagWordsAndTaskPolling) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.2", 443);
    ASSERT_TRUE(server.listening());
    // "r": two running polls, then FINISHED.
    server.answer_json("{\"taskId\":\"T1\"}");
    server.answer_json("{\"state\":\"RUNNING\"}");
    server.answer_json("{\"state\":\"WAITING\"}");
    server.answer_json("{\"state\":\"FINISHED\"}");
    // "rw": the task fails, the volume is in use elsewhere.
    server.answer_json("{\"taskId\":\"T2\"}");
    server.answer_json("{\"state\":\"ERROR\"}");
    // anything else: an error object instead of a task ends at once.
    server.answer_json("{\"code\":107001,\"message\":\"expired\"}");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(setOpenMode(c("vol-1"), c("r"), c("127.0.0.2"), c("ORU K:Z")), 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Two pauses of 100 and 200 ms, not a second each.
    EXPECT_GE(seconds, 0.3);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(setOpenMode(c("vol-2"), c("rw"), c("127.0.0.2"), c("S1")), -1);
    EXPECT_EQ(setOpenMode(c("vol-3"), c(""), c("127.0.0.2"), c("S1")), 0);

    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n")), "PUT /volumes?action=setOpenMode HTTP/1.0");
    EXPECT_EQ(header_value(seen[0], "Authorization"), "ORU K:Z");
    EXPECT_EQ(request_body(seen[0]), "{\"uuid\":\"vol-1\",\"openMode\":\"READ\"}");
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(seen[i].substr(0, seen[i].find("\r\n")), "GET /tasks/T1 HTTP/1.1");
        EXPECT_EQ(header_value(seen[i], "Authorization"), "ORU K:Z");
    }
    EXPECT_EQ(request_body(seen[4]), "{\"uuid\":\"vol-2\",\"openMode\":\"READ_WRITE\"}");
    EXPECT_EQ(seen[5].substr(0, seen[5].find("\r\n")), "GET /tasks/T2 HTTP/1.1");
    EXPECT_EQ(request_body(seen[6]), "{\"uuid\":\"vol-3\",\"openMode\":\"CLOSED\"}");
}

// Nothing that leaves the mode unrecorded may pass for success.
TEST(OpenMode, UnrecordedModesFail) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.3", 443);
    ASSERT_TRUE(server.listening());
    server.answer_json("{\"id\":\"no task\"}");
    server.answer_json("<html>busy</html>");
    server.answer_json("{\"taskId\":\"T3\"}");
    server.answer_json("{\"progress\":50}");
    server.answer_json("{\"taskId\":\"T4\"}");
    // an error object in a task reply keeps the usual meaning: taken as set
    server.answer_json("{\"state\":\"RUNNING\",\"description\":\"encode\"}");

    EXPECT_EQ(setOpenMode(c("v"), c("r"), c("127.0.0.3"), c("S")), -1); // no taskId
    EXPECT_EQ(setOpenMode(c("v"), c("r"), c("127.0.0.3"), c("S")), -1); // not JSON
    EXPECT_EQ(setOpenMode(c("v"), c("r"), c("127.0.0.3"), c("S")), -1); // no state
    EXPECT_EQ(setOpenMode(c("v"), c("rw"), c("127.0.0.3"), c("S")), 0); // "code" in a word
    EXPECT_EQ(server.requests().size(), 6u);
    EXPECT_EQ(setOpenMode(c("v"), c("r"), c("127.0.0.4"), c("S")), -1); // nobody listens

    // A uuid that needs escaping still gives a JSON body.
    server.answer_json("{\"code\":1}");
    EXPECT_EQ(setOpenMode(c("a\"b"), c("r"), c("127.0.0.3"), c("S")), 0);
    EXPECT_EQ(request_body(server.requests().back()),
              "{\"uuid\":\"a\\\"b\",\"openMode\":\"READ\"}");
}

// A task that stays RUNNING is given up after ORU_TASK_TIMEOUT, with a few
// paced polls rather than a stream of them: the open mode fails, Connect
// keeps the session form.
TEST(OpenMode, TasksThatNeverEndAreGivenUp) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.5", 443);
    ASSERT_TRUE(server.listening());
    setenv("ORU_TASK_TIMEOUT", "2", 1);
    server.answer_json("{\"taskId\":\"T5\"}");
    for (int i = 0; i < 40; ++i)
        server.answer_json("{\"state\":\"RUNNING\"}");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(setOpenMode(c("v"), c("r"), c("127.0.0.5"), c("S")), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    size_t polls = server.requests().size() - 1;
    EXPECT_GE(polls, 3u);
    EXPECT_LE(polls, 8u);

    ScriptedPeer connecting(ScriptedPeer::Kind::Tls, "127.0.0.6", 443);
    ASSERT_TRUE(connecting.listening());
    connecting.answer_json("{\"sessonId\":\"S1\",\"userId\":\"u1\"}");
    connecting.answer_json("{\"totalSize\":0,\"items\":[]}");
    connecting.answer_json("{\"taskId\":\"T6\"}");
    for (int i = 0; i < 40; ++i)
        connecting.answer_json("{\"state\":\"RUNNING\"}");
    start = std::chrono::steady_clock::now();
    oruDiskLibConnection connection = nullptr;
    oruDiskLibConnectParams params = {c("127.0.0.6"), c("alice"), c("pw"), nullptr};
    ASSERT_EQ(oruDiskLib_Connect(params, &connection), ORU_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    unsetenv("ORU_TASK_TIMEOUT");
    EXPECT_STREQ(reinterpret_cast<oruDiskLibInConnection *>(connection)->sessionid, "S1");
    std::vector<std::string> lines = connecting.request_lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_LE(lines.size(), 12u); // login, listing, creation, 3 to 8 polls, listing
    EXPECT_EQ(lines.back(), "GET /accesskeys HTTP/1.1");
    // The session still logs out (the peer answers what it has left).
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
}

} // namespace
