// Result-code texts and the process-wide last-error slots.
#include "oruDiskLib.h"
#include "core/export.h"

ORU_EXPORT_DATA char nbderror[100] = "";
ORU_EXPORT_DATA char *qcowerror = const_cast<char *>("null");
ORU_EXPORT_DATA char *rawerror = const_cast<char *>("null");
ORU_EXPORT_DATA char *iscsierror = const_cast<char *>("null");

namespace {

const char kUnknown[] = "Unknown error";

// Texts of the constant codes; slot codes are answered from their slot.
const char *const kTexts[] = {
    "The operation was successful",                      // 0
    kUnknown,                                            // 1 ORU_E_FAIL
    kUnknown,                                            // 2
    "Failed to connect server",                          // 3
    kUnknown,                                            // 4
    kUnknown,                                            // 5
    "POST request has error",                            // 6
    nullptr,                                             // 7 rawerror
    "Parameters are not completed",                      // 8
    nullptr,                                             // 9 nbderror
    nullptr,                                             // 10 qcowerror
    "lock/unlock local file failed",                     // 11
    kUnknown,                                            // 12
    kUnknown,                                            // 13
    kUnknown,                                            // 14
    "iptables managed faild",                            // 15
    kUnknown,                                            // 16
    "Failed to create a TCP connection with the hostIP", // 17
    "Failed to initialize SSL",                          // 18
    "Failed to send data",                               // 19
    "Failed to receive data",                            // 20
    "Faile to malloc space",                             // 21
    "The image is using can't open",                     // 22
    "The server exports image failed",                   // 23
    nullptr,                                             // 24 nbderror
    nullptr,                                             // 25 nbderror
    nullptr,                                             // 26 qcowerror
    nullptr,                                             // 27 qcowerror
    nullptr,                                             // 28 rawerror
    nullptr,                                             // 29 rawerror
    nullptr,                                             // 30 rawerror
    "Http get response error",                           // 31
    nullptr,                                             // 32 qcowerror
    kUnknown,                                            // 33 ORU_E_TIMEOUT
    "transportmode only support lanfree,nbd,file,NULL",  // 34
    "lock/unlock remote file failed",                    // 35
    "nbd handle can't be NULL",                          // 36
    "qcow handle can't be NULL",                         // 37
    "raw handle can't be NULL",                          // 38
    "account or password is not right",                  // 39
    nullptr,                                             // 40 rawerror
    nullptr,                                             // 41 iscsierror
    nullptr,                                             // 42 iscsierror
    nullptr,                                             // 43 iscsierror
    nullptr,                                             // 44 nbderror
    "length * 512 can't over 32 * 1024 *1024 ",          // 45
    "volume format is not right",                        // 46
};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == ORU_E_FORMAT + 1);

char *slot_text(oruError err) {
    switch (err) {
    case ORU_E_REMOTE_OPEN:
    case ORU_E_REMOTE_READ:
    case ORU_E_REMOTE_WRITE:
    case ORU_E_REMOTE_CLOSE:
        return nbderror;
    case ORU_E_QCOW_OPEN:
    case ORU_E_QCOW_READ:
    case ORU_E_QCOW_WRITE:
    case ORU_E_QCOW_BITMAP:
        return qcowerror;
    case ORU_E_OPEN:
    case ORU_E_RAW_OPEN:
    case ORU_E_RAW_READ:
    case ORU_E_RAW_WRITE:
    case ORU_E_RAW_BITMAP:
        return rawerror;
    case ORU_ISCSI_OPEN:
    case ORU_ISCSI_READ:
    case ORU_ISCSI_WRITE:
        return iscsierror;
    default:
        return nullptr;
    }
}

} // namespace

ORU_EXPORT char *oruDiskLib_GetErrorText(oruError err) {
    int code = static_cast<int>(err);
    if (code < 0 || code > ORU_E_FORMAT) return const_cast<char *>(kUnknown);
    if (const char *text = kTexts[code]) return const_cast<char *>(text);
    return slot_text(err);
}
