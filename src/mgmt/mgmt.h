// The management-plane client: what sessions, host selection and remote opens
// share on top of the request layer (include/https_post.h).
#pragma once

#include <string>

#include "oruDiskLib.h"

struct oruDiskLibInConnection;

// The management server's fixed HTTPS port.
inline constexpr int kManagementPort = 443;

extern "C" {

// Records the volume's open mode with the management server ("r" -> READ,
// "rw" -> READ_WRITE, anything else -> CLOSED) and follows the server's task
// (task_polling.h: pauses from 100 ms to 1 s, ORU_TASK_TIMEOUT in all).
// 0 when the mode is taken as set (task FINISHED, or the server answered an
// error reply), -1 when the task ended in ERROR or ran out of time, or a
// request or reply failed (the volume must then not be exported).
int setOpenMode(char *uuid, char *openFlag, char *ip, char *session);

// Insert (port_Open) or delete (port_Close) host firewall rules accepting TCP
// to the destination port in the INPUT and OUTPUT chains, in that order.
// port must be a decimal number 1..65535. ORU_OK or ORU_E_FAIL.
oruError port_Open(char *port);
oruError port_Close(char *port);

} // extern "C"

namespace oru::mgmt {

// A management reply is an error reply when its body holds the letters
// "code" anywhere (the server's error objects carry a "code" member).
bool is_error_reply(const char *body);

// Server codes with a meaning of their own.
inline constexpr const char *kSessionExpired = "107001";
inline constexpr const char *kWrongPassword = "107002";

// The JSON body of the login request, with user and password escaped.
std::string login_body(const char *user, const char *password);

// What the login request brought back.
struct LoginReply {
    bool error_reply = false;    // the body holds "code"
    bool wrong_password = false; // ... and "107002"
    std::string body;            // raw reply body
    std::string session_id;      // "sessonId", empty when absent
    std::string user_id;         // "userId", empty when absent
};

// Sends the login request (no authorization value) to the server at ip.
// Returns the request layer's code; on ORU_OK fills *reply. A reply that is
// no error reply but lacks "sessonId" leaves session_id empty: the caller
// treats that as a failed login.
int login(const char *ip, const char *user, const char *password, LoginReply *reply);

// Why the calling thread's last request-layer exchange failed when its code
// alone does not tell ("... timed out after 60 s", a certificate that was
// not accepted); empty after an exchange that failed for another reason or
// did not fail. Noting a reason also copies it into nbderror.
const std::string &exchange_failure();
void clear_exchange_failure();
void note_exchange_failure(const std::string &text);

// The texts of a connection record are malloc'd copies, freed with free():
// this puts a fresh copy of value into the record's sessionid, releasing the
// old one. false (record unchanged) when memory runs out.
bool replace_session_id(oruDiskLibInConnection *connection, const char *value);

} // namespace oru::mgmt
