// What the management client reads out of the replies it gets, apart from
// the exchanges that fetch them: HTTP reply framing and every JSON reply of
// the management server and the host agents. Replies come from servers the
// caller does not control, so these functions take any bytes; they are
// separate from the request code so that tests and fuzz targets can reach
// them without a server. Defined beside the code that uses them.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mgmt/mgmt.h"

namespace oru::mgmt {

// --- HTTP reply framing (reply_framing.cpp) ---------------------------------

// Follows one HTTP reply as its bytes arrive and says when it is complete,
// so that a reader stops at once even when the server keeps the connection
// open. The head ends after four CR/LF bytes in a row in any mix, or at the
// first other byte after a blank line. The body then lasts for its
// Content-Length, or is decoded from chunked transfer coding (extensions and
// trailers dropped), or lasts until the peer closes when the head gives
// neither; 204 and 304 replies have none, and interim 1xx replies are
// passed over. What is kept lands in out: the decoded body, or the raw head
// followed by the decoded body; once room bytes are kept the reply counts as
// complete, whatever is still to come. Nothing is terminated. Any bytes are
// accepted: a malformed chunk ends the reply with what was decoded so far.
class ReplyFramer {
  public:
    enum class Keep { Body, HeadAndBody };
    ReplyFramer(char *out, size_t room, Keep keep);

    // Takes the next bytes from the peer. Returns how many were taken: all
    // of them unless the reply ended, or the room filled, among them; the
    // rest is nothing we asked for and is dropped.
    size_t feed(const char *data, size_t size);
    // Complete, or the room is full: read no more.
    bool done() const { return phase_ == Phase::Done; }
    // Bytes kept in out so far.
    size_t stored() const { return stored_; }

  private:
    enum class Phase { Head, Length, Chunked, UntilClose, Done };
    enum class ChunkStep { Size, Data, DataEnd, Trailer };

    bool store(const char *data, size_t size);
    size_t feed_head(const char *data, size_t size);
    size_t feed_chunked(const char *data, size_t size);
    void interpret_head_line();
    void end_head();
    bool take_chunk_size();

    char *out_;
    size_t room_;
    Keep keep_;
    size_t stored_ = 0;
    Phase phase_ = Phase::Head;
    // head
    std::string line_;
    bool line_overflow_ = false;
    bool first_line_ = true;
    int run_ = 0; // CR/LF bytes in a row
    bool lf_in_run_ = false;
    bool blank_in_run_ = false;
    int status_ = 0;
    bool has_length_ = false;
    bool has_transfer_coding_ = false;
    bool chunked_ = false;
    // body
    uint64_t remaining_ = 0; // of the Content-Length or the current chunk
    ChunkStep chunk_step_ = ChunkStep::Size;
};

// Leaves the last non-empty line of reply in buf (bufsize bytes, zeroed
// first, reply.size() < bufsize); buf is untouched when reply has no such
// line (http.cpp).
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
