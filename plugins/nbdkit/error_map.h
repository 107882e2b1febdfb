// How a library result code reaches an NBD client and the server's log: an
// errno value that the NBD protocol can carry, and a message that names the
// code and carries the library's own text for it.
#pragma once

#include <oruDiskLib.h>

#include <string>

namespace oru_nbdkit {

// The enumerator's name, "ORU_E_RAW_OPEN" for 28; "ORU_<n>" when unknown.
std::string error_name(oruError code);

// The library's text for a code, without the line end some texts carry.
std::string error_text(oruError code);

// The errno value for a failure with this code and text: EINVAL for refused
// arguments, ENOMEM, ENOSPC and EROFS where the library's text says so
// (writes report those only through their text), EIO for the rest.
int errno_for(oruError code, const std::string &text);

// Logs "<what failed>: <text> (<name>)" through nbdkit_error and sets the
// errno the client will see.
void report_failure(const std::string &what_failed, oruError code);

} // namespace oru_nbdkit
