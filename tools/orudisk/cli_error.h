// Failures that end an orudisk command. Every failure the library reports
// carries its result code and the library's own text for it.
#pragma once

#include <oruDiskLib.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace orudisk {

class CliError : public std::runtime_error {
  public:
    explicit CliError(const std::string &message) : std::runtime_error(message) {}
    // "<what failed>: <library text> (<code name>)".
    CliError(const std::string &what_failed, oruError code);

    const std::optional<oruError> &code() const { return code_; }

  private:
    std::optional<oruError> code_;
};

// The enumerator's name, "ORU_E_RAW_OPEN" for 28; "ORU_<n>" when unknown.
std::string error_name(oruError code);

// The library's text for a code, without the trailing newline some texts carry.
std::string error_text(oruError code);

// Throws CliError unless rc is ORU_OK.
void check(oruError rc, const std::string &what_failed);

} // namespace orudisk
