#include "error_map.h"

#include <nbdkit-plugin.h>

#include <array>
#include <cerrno>

namespace oru_nbdkit {

namespace {

constexpr std::array<const char *, ORU_E_FORMAT + 1> kNames = {
    "ORU_OK",
    "ORU_E_FAIL",
    "ORU_E_NOT_SUPPORTED",
    "ORU_E_CONNECT_FAIL",
    "ORU_E_GET_VERSION",
    "ORU_E_GET_MODE",
    "ORU_E_POST",
    "ORU_E_OPEN",
    "ORU_E_PARAMS",
    "ORU_E_REMOTE_OPEN",
    "ORU_E_QCOW_OPEN",
    "ORU_E_LOCK",
    "ORU_E_READ",
    "ORU_E_WRITE",
    "ORU_E_CLOSE",
    "ORU_E_PORT",
    "ORU_E_INIT",
    "ORU_E_TCP",
    "ORU_E_SSL",
    "ORU_E_SEND",
    "ORU_E_RECV",
    "ORU_E_MALLOC",
    "ORU_E_USING",
    "ORU_E_NBD_EXPORT",
    "ORU_E_REMOTE_READ",
    "ORU_E_REMOTE_WRITE",
    "ORU_E_QCOW_READ",
    "ORU_E_QCOW_WRITE",
    "ORU_E_RAW_OPEN",
    "ORU_E_RAW_READ",
    "ORU_E_RAW_WRITE",
    "ORU_E_GET",
    "ORU_E_QCOW_BITMAP",
    "ORU_E_TIMEOUT",
    "ORU_E_TRANS",
    "ORU_E_REMOTELOCK",
    "ORU_E_HANDLENBD",
    "ORU_E_HANDLEQCOW",
    "ORU_E_HANDLERAW",
    "ORU_E_ACCOUNT",
    "ORU_E_RAW_BITMAP",
    "ORU_ISCSI_OPEN",
    "ORU_ISCSI_READ",
    "ORU_ISCSI_WRITE",
    "ORU_E_REMOTE_CLOSE",
    "ORU_E_MAX_BUFFER",
    "ORU_E_FORMAT",
};

bool mentions(const std::string &text, const char *word) {
    return text.find(word) != std::string::npos;
}

} // namespace

std::string error_name(oruError code) {
    int value = static_cast<int>(code);
    if (value >= 0 && value < static_cast<int>(kNames.size())) return kNames[value];
    return "ORU_" + std::to_string(value);
}

std::string error_text(oruError code) {
    const char *text = oruDiskLib_GetErrorText(code);
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

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
