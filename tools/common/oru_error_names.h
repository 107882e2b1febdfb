// Names and texts of the library's result codes, for programs built on the
// public C API (orudisk, the nbdkit plugin): what they print beside a failure.
#pragma once

#include <oruDiskLib.h>

#include <array>
#include <string>

namespace oru_client {

// The enumerator's name, "ORU_E_RAW_OPEN" for 28; "ORU_<n>" when unknown.
inline std::string error_name(oruError code) {
    static constexpr std::array<const char *, ORU_E_FORMAT + 1> kNames = {
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
    int value = static_cast<int>(code);
    if (value >= 0 && value < static_cast<int>(kNames.size())) return kNames[value];
    return "ORU_" + std::to_string(value);
}

// The library's text for a code, without the line end some texts carry.
inline std::string error_text(oruError code) {
    const char *text = oruDiskLib_GetErrorText(code);
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

} // namespace oru_client
