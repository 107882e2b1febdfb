// The remote prologue: the per-volume log that every remote open starts with.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "remote/transport.h"

namespace {

// The UUID becomes a file name inside the log directory: anything that could
// leave the directory, or hide the file from the clean-up, is refused.
bool uuid_is_log_name(const char *uuid) {
    return uuid && uuid[0] != '\0' && uuid[0] != '.' && std::strchr(uuid, '/') == nullptr;
}

// Opens (creating or emptying, like fopen "w+") the volume's log without ever
// following a symbolic link, so a link planted in the directory cannot make
// us empty another file. NULL when it cannot be opened.
FILE *open_volume_log(const std::string &path) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), kFlags, 0666);
    if (fd < 0 && errno == ENOENT) {
        // The clean-up normally creates the directory; it may have been skipped.
        mkdir(kLogDir, 0777);
        fd = open(path.c_str(), kFlags, 0666);
    }
    if (fd < 0) return nullptr;
    FILE *stream = fdopen(fd, "w+");
    if (!stream) close(fd);
    return stream;
}

// Log files travel to support desks: an access key's secret never goes there.
// "ORU <id>:<secret>" is shown as "ORU <id>:***"; a session id as it is.
std::string printable_authorization(const char *value) {
    if (!value) return "(null)";
    if (!std::strstr(value, "ORU")) return value;
    const char *colon = std::strchr(value, ':');
    if (!colon) return "***";
    return std::string(value, static_cast<size_t>(colon - value) + 1) + "***";
}

} // namespace

oruError remote_prologue(oruDiskLibInHandle *h, const oruDiskLibVolume *volume,
                         oruDiskLibInConnection *conn) {
    if (!h || !volume || !conn) return ORU_E_PARAMS;
    if (!uuid_is_log_name(volume->volumeUuid)) return ORU_E_PARAMS;
    try {
        // A handle reopened after a failed open still holds that open's log.
        if (h->log) {
            fclose(h->log);
            h->log = nullptr;
        }
        h->log = open_volume_log(std::string(kLogDir) + "/" + volume->volumeUuid + ".log");
        h->statu = 0;
        std::string session = printable_authorization(conn->sessionid);
        oruDiskLib_Log(h->log, const_cast<char *>("session id: "), session.data());
    } catch (...) {
        return ORU_E_MALLOC;
    }
    return ORU_OK;
}
