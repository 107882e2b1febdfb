#include "cli_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace orudisk {

namespace {

std::string with_code(const std::string &message, oruError code) {
    return message + " (" + error_name(code) + ")";
}

} // namespace

CliError::CliError(const std::string &message) : CliError(with_code(message, ORU_E_PARAMS), ORU_E_PARAMS, false) {}

CliError::CliError(const std::string &what_failed, oruError code, const std::string &os_reason)
    : CliError(with_code(what_failed + ": " + error_text(code) + (os_reason.empty() ? "" : ": " + os_reason), code),
               code, true) {}

CliError::CliError(const std::string &full_message, oruError code, bool from_library)
    : std::runtime_error(full_message), code_(code), library_text_(from_library ? error_text(code) : "") {}

CliError CliError::found(oruError code, const std::string &message) {
    return CliError(with_code(message, code), code, false);
}

CliError CliError::from_os(const std::string &what_failed, int err, oruError code) {
    return found(code, what_failed + ": " + std::strerror(err));
}

CliError cannot_open(const std::string &path) {
    std::string reason = os_reason_opening(path, false);
    return CliError::found(ORU_E_OPEN, "cannot open " + path + (reason.empty() ? "" : ": " + reason));
}

CliError creation_failed(const std::string &path) {
    std::string reason = os_reason_creating(path);
    return CliError::found(ORU_E_FAIL, "the library could not create " + path + (reason.empty() ? "" : ": " + reason));
}

void check(oruError rc, const std::string &what_failed) {
    if (rc != ORU_OK) throw CliError(what_failed, rc);
}

std::string os_reason_opening(const std::string &path, bool write) {
    int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return "";
}

std::string os_reason_creating(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const char *where = dir.empty() ? "." : dir.c_str();
    if (::access(where, W_OK | X_OK) != 0) return std::string(where) + ": " + std::strerror(errno);
    return "";
}

} // namespace orudisk
