// What the simulator tests share: the shipped example platform and a curl
// client that returns a reply's status and body.
#pragma once

#include "support/platform_sim.h"
#include "support/test_support.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>

namespace oru::test {

inline nlohmann::json example_platform() {
    const char *source = getenv("ORU_SOURCE_DIR");
    std::ifstream in(std::string(source ? source : ".") + "/tools/platform-sim/example.json");
    return nlohmann::json::parse(in);
}

constexpr const char *kManagement = "https://127.0.0.10";
constexpr const char *kVolumeQcow2 = "3f1c2a6e-0d7b-4c1e-9a55-5b8e2f0c1d01";
constexpr const char *kVolumeRaw = "8a2d4b10-6e3f-4f7a-b1c2-77d9e3a4f502";
constexpr const char *kVolumeInUse = "c5e7f9a1-2b4d-4e6f-8a0c-1e3f5a7b9d03";

struct CurlReply {
    int status = -1;       // HTTP status, -1 when curl failed
    std::string body;
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// One request with curl (-k: the simulator's certificate is self-signed).
inline CurlReply curl(const std::string &method, const std::string &url, const std::string &authorization = "",
                      const std::string &body = "") {
    std::string command = "curl -sk --max-time 20 -w '\\n%{http_code}' -X " + method;
    // Appended in order rather than by prefixing literals to temporaries,
    // which copies every piece twice and which GCC 12 mistakes for an
    // overlapping copy (-Wrestrict).
    if (!authorization.empty())
        command.append(" -H ").append(quote("Authorization: " + authorization));
    if (!body.empty()) command.append(" --data-binary ").append(quote(body));
    command.append(" ").append(quote(url));
    CommandResult result = run(command);
    CurlReply reply;
    size_t cut = result.out.rfind('\n');
    if (result.status != 0 || cut == std::string::npos) {
        reply.body = result.out;
        return reply;
    }
    reply.body = result.out.substr(0, cut);
    reply.status = std::stoi(result.out.substr(cut + 1));
    return reply;
}

inline std::string login_body(const std::string &user, const std::string &password) {
    return "{\"username\":\"" + user + "\", \"password\": \"" + password +
           "\", \"domain\": \"internal\", \"locale\": \"cn\", \"captcha\": \"\"}";
}

// Logs in and returns the session id ("" on failure).
inline std::string login(const std::string &user, const std::string &password) {
    auto reply = curl("POST", std::string(kManagement) + "/system/user/sdklogin", "", login_body(user, password));
    auto json = reply.json();
    return json.is_object() && json.contains("sessonId") ? json["sessonId"].get<std::string>() : "";
}

#define ORU_REQUIRE_SIM(sim)                                                                       \
    do {                                                                                           \
        ORU_REQUIRE_ROOT();                                                                        \
        ORU_REQUIRE_PROGRAM("curl");                                                               \
        ASSERT_TRUE((sim).ready()) << "the simulator did not start: " << (sim).stop();             \
    } while (0)

} // namespace oru::test
