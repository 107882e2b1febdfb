#include "error_map.h"

#include <nbdkit-plugin.h>

#include <cerrno>

namespace oru_nbdkit {

namespace {

bool mentions(const std::string &text, const char *word) {
    return text.find(word) != std::string::npos;
}

} // namespace

int errno_for(oruError code, const std::string &text) {
    switch (code) {
    case ORU_E_PARAMS:
    case ORU_E_MAX_BUFFER:
    case ORU_E_FORMAT:
    case ORU_E_TRANS:
        return EINVAL;
    case ORU_E_MALLOC:
    case ORU_E_INIT:
        return ENOMEM;
    case ORU_E_TIMEOUT:
        return ETIMEDOUT;
    case ORU_E_NOT_SUPPORTED:
        return ENOTSUP; // nbdkit then writes zeros itself where zeroing was refused
    case ORU_E_ACCOUNT:
        return EACCES;
    default:
        break;
    }
    // The engines say "no space" and "read-only" only in their texts.
    if (mentions(text, "enough space")) return ENOSPC;
    if (mentions(text, "read-only") || mentions(text, "read only")) return EROFS;
    if (mentions(text, "memory")) return ENOMEM;
    return EIO;
}

void report_failure(const std::string &what_failed, oruError code) {
    std::string text = error_text(code);
    nbdkit_error("%s: %s (%s)", what_failed.c_str(), text.c_str(), error_name(code).c_str());
    nbdkit_set_error(errno_for(code, text));
}

} // namespace oru_nbdkit
