// Fuzz target: every JSON reply the management client reads (login, access
// key listing, key check, tasks, host listing, networks, the host agent's
// export reply). Each input is offered to all of them, as the text a reply
// buffer would hold (it ends at the first NUL byte).
#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mgmt/replies.h"
#include "util/bounded_copy.h"
#include "util/json.h"

namespace {

[[noreturn]] void broken(const char *what) {
    std::fprintf(stderr, "mgmt_replies: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *body = text.c_str();
    using namespace oru::mgmt;

    LoginReply login;
    parse_login_reply(body, &login);
    if (login.wrong_password && !login.error_reply) broken("wrong password outside an error reply");

    std::string key;
    if (access_key_from_listing(body, "u-1", &key) && key.rfind("ORU ", 0) != 0)
        broken("access key without its ORU prefix");

    char reason[512];
    oru::bounded_copy(reason, sizeof reason, rejection_text(body).c_str());

    reply_text(body, "taskId");
    reply_text(body, "state");

    oru::json::Document doc = oru::json::parse(body);
    ChosenHost host;
    least_loaded_host(doc.get(), &host);
    backup_network_address(doc.get());
    std::string port;
    if (export_port(doc.get(), &port) && (port.empty() || port == "null"))
        broken("export port accepted without a port");
    return 0;
}
