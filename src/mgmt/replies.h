// What the management client reads out of the replies it gets, apart from
// the exchanges that fetch them: HTTP reply framing and every JSON reply of
// the management server and the host agents. Replies come from servers the
// caller does not control, so these functions take any bytes; they are
// separate from the request code so that tests and fuzz targets can reach
// them without a server. Defined beside the code that uses them.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "mgmt/mgmt.h"

namespace oru::mgmt {

// --- HTTP framing (https.cpp, http.cpp) -------------------------------------

// The head of an HTTPS reply ends at the first run of four CR/LF bytes in any
// mix; ssl_recv feeds it the reply byte by byte until done() says so.
class ReplyHeadScanner {
  public:
    void feed(char byte) { line_breaks_ = (byte == '\r' || byte == '\n') ? line_breaks_ + 1 : 0; }
    bool done() const { return line_breaks_ >= 4; }

  private:
    int line_breaks_ = 0;
};

// Offset of the body that ssl_recv stores from a reply received whole:
// just past the head, or reply.size() when the head never ends.
size_t https_body_offset(std::string_view reply);

// True once a plain-HTTP reply holds its whole head and at least the
// Content-Length bytes of body it declares (a reply without that header is
// complete only when the peer closes).
bool http_reply_complete(std::string_view reply);

// Leaves the last non-empty line of reply in buf (bufsize bytes, zeroed
// first, reply.size() < bufsize); buf is untouched when reply has no such
// line.
void keep_last_line(const std::string &reply, char *buf, int bufsize);

// --- management server replies ------------------------------------------------

// Fills *reply from the body of the login reply (login.cpp).
void parse_login_reply(const char *body, LoginReply *reply);

// Looks for user_id's entry in an access-key listing (bounded by its
// "totalSize") and puts "ORU <id>:<secret>" into *key (session.cpp).
bool access_key_from_listing(const char *listing, const std::string &user_id, std::string *key);

// The text kept as the reason of a refused access key: the reply's
// "message", else the whole reply (session.cpp).
std::string rejection_text(const char *reply);

// A string member of the reply's top-level object ("taskId", "state"), or
// nothing when the reply is no JSON object or lacks it (open_mode.cpp).
std::optional<std::string> reply_text(const char *reply, const char *name);

// The host a volume is exported from: the least-loaded host of a host
// listing that is CONNECTED, has the data store MOUNTED and a load under
// 100 (host_selection.cpp).
struct ChosenHost {
    std::string address; // "name": the host's own address
    std::string id;
};
bool least_loaded_host(const cJSON *listing, ChosenHost *chosen);

// The first backup-network address of a host's network listing, if any
// (host_selection.cpp).
std::optional<std::string> backup_network_address(const cJSON *networks);

// The port of an export from the host agent's reply: the "serverPort" text
// when it is a decimal port 1..65535 ("null" says that no export was made),
// or a numeric member 1..65535 as decimal text (host_selection.cpp).
bool export_port(const cJSON *reply, std::string *port);

} // namespace oru::mgmt
