// How a library result code reaches an NBD client and the server's log: an
// errno value that the NBD protocol can carry, and a message that names the
// code and carries the library's own text for it.
#pragma once

#include <oruDiskLib.h>
#include <oru_error_names.h>

#include <string>

namespace oru_nbdkit {

using oru_client::error_name;
using oru_client::error_text;

// The errno value for a failure with this code and text: EINVAL for refused
// arguments, ENOTSUP for an operation the volume lacks, ENOMEM, ENOSPC and
// EROFS where the library's text says so
// (writes report those only through their text), EIO for the rest.
int errno_for(oruError code, const std::string &text);

// Logs "<what failed>: <text> (<name>)" through nbdkit_error and sets the
// errno the client will see.
void report_failure(const std::string &what_failed, oruError code);

} // namespace oru_nbdkit
