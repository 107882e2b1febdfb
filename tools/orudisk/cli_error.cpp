#include "cli_error.h"

namespace orudisk {

CliError::CliError(const std::string &what_failed, oruError code)
    : std::runtime_error(what_failed + ": " + error_text(code) + " (" + error_name(code) + ")"),
      code_(code) {}

void check(oruError rc, const std::string &what_failed) {
    if (rc != ORU_OK) throw CliError(what_failed, rc);
}

} // namespace orudisk
