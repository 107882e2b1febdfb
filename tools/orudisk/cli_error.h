// Failures that end an orudisk command. Every failure the library reports
// carries its result code and the library's own text for it.
#pragma once

#include <oruDiskLib.h>
#include <oru_error_names.h>

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

using oru_client::error_name;
using oru_client::error_text;

// Throws CliError unless rc is ORU_OK.
void check(oruError rc, const std::string &what_failed);

} // namespace orudisk
