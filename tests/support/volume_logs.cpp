#include "support/volume_logs.h"

#include <unistd.h>

namespace oru::test {

std::string volume_log_path(const std::string &uuid) { return "/var/log/tamb/" + uuid + ".log"; }

VolumeLogCleanup::~VolumeLogCleanup() {
    for (const std::string &uuid : uuids_)
        if (!uuid.empty()) ::unlink(volume_log_path(uuid).c_str());
}

} // namespace oru::test
