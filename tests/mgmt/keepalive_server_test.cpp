// The management client against servers as they are met in the field: nginx
// keeping connections alive for 20 s and sending chunked bodies, a chunked
// reply dribbled over several writes, servers that say nothing (a silent
// agent is met in sim_habits_test), and certificates checked when the caller
// asks for it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "hardening/resource_probe.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/scripted_peer.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

using oru::test::CommandResult;
using oru::test::header_value;
using oru::test::quote;
using oru::test::run;
using oru::test::ScriptedPeer;
using oru::test::ScriptedReply;
using oru::test::TempDir;

namespace {

char *c(const char *text) {
    return const_cast<char *>(text);
}

std::vector<uint8_t> bytes(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(name_); }

  private:
    const char *name_;
};

bool can_connect(const char *ip, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &sa.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

// A private CA, a server certificate it signed for the address 127.0.0.2
// and the name localhost only, and a CA that signed nothing here.
struct Certificates {
    std::string ca, foreign_ca, cert, key;
};
Certificates make_certificates(const TempDir &dir) {
    Certificates made{dir.file("ca.pem"), dir.file("foreign.pem"), dir.file("server.pem"),
                      dir.file("server.key")};
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    std::ofstream(dir.file("ext.cnf")) << "subjectAltName=IP:127.0.0.2,DNS:localhost\n"
                                          "extendedKeyUsage=serverAuth\n";
    for (const std::string &command :
         {"openssl req -x509" + ec + "-days 2 -subj /CN=oru-test-ca -keyout " +
              quote(dir.file("ca.key")) + " -out " + quote(made.ca),
          "openssl req -x509" + ec + "-days 2 -subj /CN=oru-test-ca -keyout " +
              quote(dir.file("foreign.key")) + " -out " + quote(made.foreign_ca),
          "openssl req -new" + ec + "-subj /CN=management -keyout " + quote(made.key) + " -out " +
              quote(dir.file("server.csr")),
          "openssl x509 -req -in " + quote(dir.file("server.csr")) + " -CA " + quote(made.ca) +
              " -CAkey " + quote(dir.file("ca.key")) + " -CAcreateserial -days 2 -extfile " +
              quote(dir.file("ext.cnf")) + " -out " + quote(made.cert)}) {
        CommandResult r = run(command, true);
        if (r.status != 0) ADD_FAILURE() << command << ": " << r.out;
    }
    return made;
}

// nginx on 127.0.0.2:443 (a user who owns an access key) and 127.0.0.3:443
// (a user who has none and gets one created that never shows up), both
// keeping connections alive for 20 s. The key listing of 127.0.0.2 and
// the task replies go through a body filter, so nginx does not know their
// length and sends them chunked. Every request is logged with its
// Authorization value.
class Nginx {
  public:
    Nginx() : certs_(make_certificates(dir_)) {
        write("www/keys", "{\"totalSize\":1,\"items\":[{\"userId\":\"u1\",\"accessKeyId\":\"K\","
                          "\"accessKeySecret\":\"Z\"}]}");
        write("www/nokeys", "{\"totalSize\":0,\"items\":[]}");
        write("www/finished", "{\"state\":\"FINISHED\"}");
        mkdir(dir_.file("tmp").c_str(), 0700);
        const std::string d = dir_.path();
        const std::string login = "location = /system/user/sdklogin { return 200 "
                                  "'{\"sessonId\":\"S1\",\"userId\":\"u1\"}'; }\n";
        const std::string chunked = "sub_filter_types *; sub_filter '@@' '@@'; ";
        write("nginx.conf",
              "daemon off; master_process off; pid " + d +
                  "/nginx.pid;\n"
                  "error_log " +
                  d +
                  "/error.log info;\n"
                  "events { worker_connections 64; }\n"
                  "http {\n"
                  "  log_format requests '$request|$http_authorization';\n"
                  "  access_log " +
                  d +
                  "/access.log requests;\n"
                  "  client_body_temp_path " +
                  d + "/tmp; proxy_temp_path " + d +
                  "/tmp;\n"
                  "  fastcgi_temp_path " +
                  d + "/tmp; uwsgi_temp_path " + d +
                  "/tmp;\n"
                  "  scgi_temp_path " +
                  d +
                  "/tmp;\n"
                  "  keepalive_timeout 20s; default_type application/json; gzip off;\n"
                  "  ssl_certificate " +
                  certs_.cert + "; ssl_certificate_key " + certs_.key +
                  ";\n"
                  "  root " +
                  d +
                  "/www;\n"
                  "  server {\n"
                  "    listen 127.0.0.2:443 ssl; listen 127.0.0.1:443 ssl;\n    " +
                  login + "    location = /accesskeys { " + chunked +
                  "try_files /keys =404; }\n"
                  "    location = /system/user/info { return 200 '{\"userName\":\"alice\"}'; }\n"
                  "    location = /volumes { return 200 '{\"taskId\":\"T1\"}'; }\n"
                  "    location = /tasks/T1 { " +
                  chunked +
                  "try_files /finished =404; }\n"
                  "  }\n"
                  "  server {\n"
                  "    listen 127.0.0.3:443 ssl;\n    " +
                  login +
                  "    location = /accesskeys {\n"
                  "      if ($request_method = POST) { return 200 '{\"taskId\":\"T2\"}'; }\n"
                  "      try_files /nokeys =404; }\n"
                  "    location = /tasks/T2 { " +
                  chunked +
                  "try_files /finished =404; }\n"
                  "    location = /system/user/logout { return 200 '{\"result\":\"ok\"}'; }\n"
                  "  }\n"
                  "}\n");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM); // gone with the test, however it ends
            execlp("nginx", "nginx", "-p", d.c_str(), "-e", (d + "/error.log").c_str(), "-c",
                   (d + "/nginx.conf").c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !ready_; ++i) {
            ready_ = can_connect("127.0.0.2", 443) && can_connect("127.0.0.3", 443);
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!ready_) ADD_FAILURE() << "nginx did not start: " << read("error.log");
    }
    ~Nginx() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    const Certificates &certs() const { return certs_; }
    // "<request line>|<Authorization>" of every request served so far.
    // nginx logs a request just after its reply, so a client may be quicker:
    // waits up to 2 s for at least `expected` lines.
    std::vector<std::string> requests(size_t expected = 0) const {
        std::vector<std::string> lines;
        for (int round = 0; round < 40; ++round) {
            lines.clear();
            std::istringstream log(read("access.log"));
            for (std::string line; std::getline(log, line);)
                lines.push_back(line);
            if (lines.size() >= expected) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return lines;
    }

  private:
    void write(const std::string &name, const std::string &text) {
        mkdir(dir_.file("www").c_str(), 0700);
        std::ofstream(dir_.file(name)) << text;
    }
    std::string read(const std::string &name) const {
        std::ifstream in(dir_.file(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDir dir_;
    Certificates certs_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

oruDiskLibConnectParams login_params(const char *host) {
    return oruDiskLibConnectParams{c(host), c("alice"), c("pw"), nullptr};
}

TEST(KeepAliveServer, ExchangesEndWithTheirReplies) {
    ORU_REQUIRE_PROGRAM("nginx");
    Nginx nginx;
    ASSERT_TRUE(nginx.ready());
    // The listing and the task replies really are chunked on kept connections.
    CommandResult head = run("curl -sk --http1.1 -D - -o /dev/null https://127.0.0.2/accesskeys");
    EXPECT_NE(head.out.find("Transfer-Encoding: chunked"), std::string::npos) << head.out;
    EXPECT_NE(head.out.find("Connection: keep-alive"), std::string::npos) << head.out;

    auto start = std::chrono::steady_clock::now();
    oruDiskLibConnection keyed = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.2"), &keyed), ORU_OK);
    double connect_seconds = seconds_since(start);
    std::printf("oruDiskLib_Connect against nginx (keep-alive 20 s): %.3f s\n", connect_seconds);
    EXPECT_STREQ(in_connection(keyed)->sessionid, "ORU K:Z");
    EXPECT_EQ(setOpenMode(c("vol-1"), c("r"), c("127.0.0.2"), in_connection(keyed)->sessionid), 0);
    EXPECT_EQ(oruDiskLib_DisConnect(keyed), ORU_OK);

    oruDiskLibConnection by_key = nullptr;
    oruDiskLibConnectParams key = {c("127.0.0.2"), nullptr, nullptr, c("ORU K:Z")};
    ASSERT_EQ(oruDiskLib_Set_AK(key, &by_key), ORU_OK);
    EXPECT_EQ(oruDiskLib_DisConnect(by_key), ORU_OK);

    // Login, listing, key creation, its task, second listing; then logout.
    oruDiskLibConnection session = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.3"), &session), ORU_OK);
    EXPECT_STREQ(in_connection(session)->sessionid, "S1");
    EXPECT_EQ(oruDiskLib_DisConnect(session), ORU_OK);
    // Eleven exchanges; waiting out the keep-alive would take 20 s each.
    EXPECT_LT(seconds_since(start), 5.0);

    std::vector<std::string> expected = {
        "POST /system/user/sdklogin HTTP/1.0|(null)",
        "GET /accesskeys HTTP/1.1|S1",
        "PUT /volumes?action=setOpenMode HTTP/1.0|ORU K:Z",
        "GET /tasks/T1 HTTP/1.1|ORU K:Z",
        "GET /system/user/info HTTP/1.1|ORU K:Z",
        "POST /system/user/sdklogin HTTP/1.0|(null)",
        "GET /accesskeys HTTP/1.1|S1",
        "POST /accesskeys HTTP/1.0|S1",
        "GET /tasks/T2 HTTP/1.1|S1",
        "GET /accesskeys HTTP/1.1|S1",
        "GET /system/user/logout HTTP/1.1|S1",
    };
    std::vector<std::string> seen = nginx.requests(expected.size() + 1);
    ASSERT_GE(seen.size(), 1u);
    seen.erase(seen.begin()); // curl's
    EXPECT_EQ(seen, expected);
}

// A login reply chunked and dribbled over several writes on a connection
// the server keeps open: the session id is decoded whole and sent back byte
// for byte, and nothing waits for the server to close.
TEST(KeepAliveServer, ChunkedLoginSplitOverWrites) {
    ScriptedPeer server(ScriptedPeer::Kind::Tls, "127.0.0.4", 443);
    ASSERT_TRUE(server.listening());
    // Decoded, the id is S-7;x="0"/z: a chunk extension lookalike.
    const std::string json = "{\"sessonId\":\"S-7;x=\\\"0\\\"\\/z\",\"userId\":\"u1\"}";
    char second_size[16];
    std::snprintf(second_size, sizeof second_size, "%zX", json.size() - 7);
    ScriptedReply login;
    login.segments = {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive",
                      "\r\n\r\n7;ext=\"1\"\r\n" + json.substr(0, 7) + "\r",
                      "\n" + std::string(second_size) + "\r\n" + json.substr(7, 10),
                      json.substr(17) + "\r\n0\r\nX-Checksum: 1\r\n\r\n"};
    login.pause = std::chrono::milliseconds(100);
    login.linger = std::chrono::seconds(10);
    server.answer(login);
    for (const char *body : {"{\"totalSize\":0,\"items\":[]}", "{\"code\":1}",
                             "{\"totalSize\":0,\"items\":[]}", "{\"result\":\"ok\"}"}) {
        ScriptedReply kept = oru::test::http_reply(body);
        kept.linger = std::chrono::seconds(10);
        server.answer(kept);
    }

    auto start = std::chrono::steady_clock::now();
    oruDiskLibConnection connection = nullptr;
    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.4"), &connection), ORU_OK);
    EXPECT_STREQ(in_connection(connection)->sessionid, "S-7;x=\"0\"/z");
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
    EXPECT_LT(seconds_since(start), 5.0);
    std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 5u);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_EQ(header_value(seen[i], "Authorization"), "S-7;x=\"0\"/z");
}

// A listening socket nobody accepts from: connections stand, nothing is
// ever said.
class SilentListener {
  public:
    SilentListener(const char *ip, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip, &sa.sin_addr);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
              ::listen(fd_, 16) == 0;
    }
    ~SilentListener() { ::close(fd_); }
    bool ok() const { return ok_; }

  private:
    int fd_;
    bool ok_ = false;
};

TEST(SilentServers, FailWithinTheTimeoutAndTheNextExchangeWorks) {
    ORU_REQUIRE_PROGRAM("nginx");
    Nginx nginx;
    ASSERT_TRUE(nginx.ready());
    ScopedEnv timeout("ORU_NET_TIMEOUT", "2");
    SilentListener mute_server("127.0.0.5", 443);
    ASSERT_TRUE(mute_server.ok());
    // Accepts and completes the handshake, then holds the reply back.
    ScriptedPeer slow(ScriptedPeer::Kind::Tls, "127.0.0.6", 443);
    ASSERT_TRUE(slow.listening());
    ScriptedReply late = oru::test::http_reply("{}");
    late.delay = std::chrono::seconds(5);
    slow.answer(late);

    // A second thread's exchange waits behind the silent handshake, then
    // goes ahead.
    auto start = std::chrono::steady_clock::now();
    int waited = -1;
    double waited_seconds = 0;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        oruDiskLibConnection keyed = nullptr;
        waited = oruDiskLib_Connect(login_params("127.0.0.2"), &keyed);
        waited_seconds = seconds_since(start);
        if (waited == ORU_OK) oruDiskLib_DisConnect(keyed);
    });
    oruDiskLibConnection connection = nullptr;
    EXPECT_EQ(oruDiskLib_Connect(login_params("127.0.0.5"), &connection), ORU_E_SEND);
    double handshake_seconds = seconds_since(start);
    EXPECT_NE(std::string(nbderror).find("timed out"), std::string::npos) << nbderror;
    other.join();
    EXPECT_GE(handshake_seconds, 1.9);
    EXPECT_LT(handshake_seconds, 4.0);
    EXPECT_EQ(waited, ORU_OK);
    EXPECT_LT(waited_seconds, 5.0);

    start = std::chrono::steady_clock::now();
    std::vector<char> reply(512, '\0');
    EXPECT_EQ(https_get(c("127.0.0.6"), 443, c("/tasks/T"), c("S"), reply.data(), 511), ORU_E_RECV);
    EXPECT_LT(seconds_since(start), 4.0);
    EXPECT_NE(std::string(nbderror).find("timed out"), std::string::npos) << nbderror;
    ASSERT_EQ(pthread_mutex_trylock(&tamb_mutex), 0);
    pthread_mutex_unlock(&tamb_mutex);

    ASSERT_EQ(oruDiskLib_Connect(login_params("127.0.0.3"), &connection), ORU_OK);
    EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
}

// A management server named by DNS while the resolver says nothing: the
// lookup is given up at ORU_NET_TIMEOUT and fails as a connect does. The
// resolver configuration is swapped in a private mount namespace of a child.
TEST(SilentServers, NameLookupEndsWithinTheTimeout) {
    TempDir dir;
    oru::test::write_file(dir.file("resolv.conf"),
                          bytes("nameserver 127.0.0.53\noptions timeout:30 attempts:5\n"));
    oru::test::write_file(dir.file("hosts"), bytes("127.0.0.1 localhost\n"));
    oru::test::write_file(dir.file("nsswitch.conf"), bytes("hosts: files dns\n"));
    // Queries are received and never answered, over UDP and TCP.
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.53", &sa.sin_addr);
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    SilentListener mute_resolver("127.0.0.53", 53);
    ASSERT_TRUE(mute_resolver.ok());

    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        bool swapped = unshare(CLONE_NEWNS) == 0 &&
                       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        for (const char *name : {"resolv.conf", "hosts", "nsswitch.conf"})
            swapped =
                swapped && mount(dir.file(name).c_str(), (std::string("/etc/") + name).c_str(),
                                 nullptr, MS_BIND, nullptr) == 0;
        if (!swapped) _exit(77);
        setenv("ORU_NET_TIMEOUT", "2", 1);
        oruDiskLibConnection connection = nullptr;
        const oruError refused = oruDiskLib_Connect(login_params("127.0.0.9"), &connection);
        auto start = std::chrono::steady_clock::now();
        const oruError looked_up =
            oruDiskLib_Connect(login_params("mgmt.backup.test"), &connection);
        double elapsed = seconds_since(start);
        EXPECT_EQ(looked_up, ORU_E_TCP);
        EXPECT_EQ(looked_up, refused);
        EXPECT_EQ(connection, nullptr);
        EXPECT_GE(elapsed, 1.9);
        EXPECT_LT(elapsed, 4.5);
        EXPECT_NE(std::string(oruDiskLib_GetLastErrorText())
                      .find("looking up mgmt.backup.test timed out"),
                  std::string::npos)
            << oruDiskLib_GetLastErrorText();
        EXPECT_NE(std::string(nbderror).find("timed out"), std::string::npos) << nbderror;
        // The lookup given up on is still running: what it holds is its own.
        EXPECT_EQ(oru::test::leak_check_now(), 0);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(udp);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Verification, OnlyWhenAskedAndOnlyForTheRightServer) {
    ORU_REQUIRE_PROGRAM("nginx");
    Nginx nginx;
    ASSERT_TRUE(nginx.ready());
    auto connect = [](const char *host) {
        oruDiskLibConnection connection = nullptr;
        int rc = oruDiskLib_Connect(login_params(host), &connection);
        if (rc == ORU_OK) {
            EXPECT_EQ(oruDiskLib_DisConnect(connection), ORU_OK);
        }
        return rc;
    };
    // Unset: any certificate will do, as before.
    EXPECT_EQ(connect("127.0.0.2"), ORU_OK);
    size_t served = nginx.requests(2).size(); // login and key listing
    EXPECT_EQ(served, 2u);
    {
        ScopedEnv ca("ORU_TLS_CA_FILE", nginx.certs().foreign_ca);
        EXPECT_EQ(connect("127.0.0.2"), ORU_E_SEND);
        EXPECT_NE(std::string(nbderror).find("certificate"), std::string::npos) << nbderror;
    }
    {
        ScopedEnv verify("ORU_TLS_VERIFY", "1"); // the system's roots know nothing of it
        EXPECT_EQ(connect("127.0.0.2"), ORU_E_SEND);
    }
    {
        // The right roots, but the certificate names another address.
        ScopedEnv ca("ORU_TLS_CA_FILE", nginx.certs().ca);
        EXPECT_EQ(connect("127.0.0.3"), ORU_E_SEND);
    }
    // No request (and so no password) reached the server.
    EXPECT_EQ(nginx.requests().size(), served);
    {
        ScopedEnv ca("ORU_TLS_CA_FILE", nginx.certs().ca);
        EXPECT_EQ(connect("127.0.0.2"), ORU_OK);
        EXPECT_EQ(connect("localhost"), ORU_OK); // by its DNS name
    }
    {
        ScopedEnv ca("ORU_TLS_CA_FILE", "/nonexistent/ca.pem");
        EXPECT_EQ(connect("127.0.0.2"), ORU_E_SSL);
    }
}

} // namespace
