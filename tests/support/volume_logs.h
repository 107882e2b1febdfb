// The library writes a log per remote volume into the system's directory
// (/var/log/tamb/<uuid>.log) that no test directory holds: tests remove
// those of the volumes they used, so that the suite leaves none behind.
#pragma once

#include <string>
#include <vector>

namespace oru::test {

// Where the library logs the volume with this UUID.
std::string volume_log_path(const std::string &uuid);

// Removes the logs of the UUIDs it was given when it dies (a missing log
// is no error). Test UUIDs are made up, so no one else's log goes.
class VolumeLogCleanup {
  public:
    VolumeLogCleanup() = default;
    explicit VolumeLogCleanup(std::vector<std::string> uuids) : uuids_(std::move(uuids)) {}
    ~VolumeLogCleanup();
    VolumeLogCleanup(const VolumeLogCleanup &) = delete;
    VolumeLogCleanup &operator=(const VolumeLogCleanup &) = delete;
    void add(const std::string &uuid) { uuids_.push_back(uuid); }

  private:
    std::vector<std::string> uuids_;
};

} // namespace oru::test
