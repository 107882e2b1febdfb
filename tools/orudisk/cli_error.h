// Failures that end an orudisk command. Every one names its cause and an
// ORU_E_* code, so that a script reacts to the code and a person reads why:
//  - a failure the library reports: its code and the library's text, with
//    the OS's reason when orudisk can tell it (a local file it cannot open);
//  - a file orudisk itself cannot open or read: ORU_E_OPEN and the OS's reason;
//  - a request orudisk refuses before asking the library: ORU_E_PARAMS.
#pragma once

#include <oruDiskLib.h>
#include <oru_error_names.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace orudisk {

class CliError : public std::runtime_error {
  public:
    // A refused request: "<message> (ORU_E_PARAMS)".
    explicit CliError(const std::string &message);
    // A failure the library reports: "<what failed>: <library text>[: <OS
    // reason>] (<code name>)".
    CliError(const std::string &what_failed, oruError code, const std::string &os_reason = "");

    // A failure orudisk finds itself: "<message> (<code name>)".
    static CliError found(oruError code, const std::string &message);
    // A system call of orudisk's own failed with errno `err`:
    // "<what failed>: <strerror> (<code name>)".
    static CliError from_os(const std::string &what_failed, int err, oruError code = ORU_E_OPEN);

    // Always set; optional for callers written before every failure had one.
    const std::optional<oruError> &code() const { return code_; }
    // The library's text for the code, when the library reported the failure.
    const std::string &library_text() const { return library_text_; }

  private:
    CliError(const std::string &full_message, oruError code, bool from_library);

    std::optional<oruError> code_;
    std::string library_text_;
};

using oru_client::error_name;
using oru_client::error_text;

// "cannot open <path>: <OS reason> (ORU_E_OPEN)", for a file orudisk opens
// itself and could not.
CliError cannot_open(const std::string &path);

// oruDiskLib_Create answers -1 without a code or text: ORU_E_FAIL, with what
// the OS says about the place of the new file when it objects.
CliError creation_failed(const std::string &path);

// Throws CliError unless rc is ORU_OK.
void check(oruError rc, const std::string &what_failed);

// Why the OS would refuse to open `path` (for writing when `write`), found by
// trying it: the strerror text, or "" when the file opens. The library's
// texts do not carry errno, so orudisk asks the OS again after a failure.
std::string os_reason_opening(const std::string &path, bool write);

// Why a new file at `path` could not be made: the missing or unwritable
// directory, or a directory in the file's place; "" when none is seen.
std::string os_reason_creating(const std::string &path);

} // namespace orudisk
