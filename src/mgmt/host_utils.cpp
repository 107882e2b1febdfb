// Host utilities run through system commands: a ping test of an address and
// firewall rules for a TCP port. Inputs are checked before any command line
// is built, so nothing but a plain address or port number reaches the shell.
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/export.h"
#include "core/last_error.h"
#include "mgmt/mgmt.h"

namespace {

constexpr size_t kPingOutputLimit = 1024;
constexpr size_t kHostNameLimit = 253;

// A dotted IPv4 address or a host name of letters, digits, dots and hyphens
// (starting with a letter or digit, so that it cannot pass for an option).
bool is_plain_address(const char *address) {
    if (!address || !std::isalnum(static_cast<unsigned char>(address[0]))) return false;
    size_t length = std::strlen(address);
    if (length > kHostNameLimit) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(address[i]);
        if (!std::isalnum(c) && c != '.' && c != '-') return false;
    }
    return true;
}

// The port as canonical decimal text, or empty when it is not 1..65535.
std::string checked_port(const char *port) {
    if (!port || !*port || std::strlen(port) > 5) return {};
    unsigned value = 0;
    for (const char *p = port; *p; ++p) {
        if (*p < '0' || *p > '9') return {};
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    if (value < 1 || value > 65535) return {};
    return std::to_string(value);
}

// Runs a command without reading its output; true when it exited with 0.
bool run_quietly(const std::string &command) {
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    int status = pclose(pipe);
    // The exit-code byte alone decides, as the wait status gives it.
    return status != -1 && ((status >> 8) & 0xff) == 0;
}

oruError change_port_rules(const char *action, const char *port) {
    std::string number = checked_port(port);
    if (number.empty()) return ORU_E_FAIL;
    for (const char *chain : {"INPUT", "OUTPUT"}) {
        std::string command = std::string("iptables ") + action + " " + chain + " -p tcp --dport " +
                              number + " -j ACCEPT";
        if (!run_quietly(command)) return ORU_E_FAIL;
    }
    return ORU_OK;
}

int ping_once(const char *ip) {
    if (!is_plain_address(ip)) return -1;
    std::string command = std::string("ping ") + ip + " -c 1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char output[kPingOutputLimit + 1] = {};
    size_t got = 0;
    while (got < kPingOutputLimit) {
        size_t n = std::fread(output + got, 1, kPingOutputLimit - got, pipe);
        if (n == 0) break;
        got += n;
    }
    // Drain the rest so that ping does not die on a closed pipe first.
    char rest[256];
    while (std::fread(rest, 1, sizeof rest, pipe) > 0) {
    }
    pclose(pipe);
    return std::strstr(output, "100%") ? -1 : 0;
}

} // namespace

ORU_EXPORT int oruDiskLib_ping(char *ip) {
    oru::ApiCallScope scope;
    try {
        int rc = ping_once(ip);
        scope.finish(rc != 0, "the address did not answer ping or is not valid");
        return rc;
    } catch (...) {
        scope.finish(true, "out of memory");
        return -1;
    }
}

ORU_EXPORT oruError port_Open(char *port) {
    try {
        return change_port_rules("-I", port);
    } catch (...) {
        return ORU_E_FAIL;
    }
}

ORU_EXPORT oruError port_Close(char *port) {
    try {
        return change_port_rules("-D", port);
    } catch (...) {
        return ORU_E_FAIL;
    }
}
