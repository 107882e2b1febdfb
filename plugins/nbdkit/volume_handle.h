// One NBD connection's volume: its management connection (remote), its
// library handle and the open volume, released in the reverse order on every
// path. A handle serves one thread at a time, as the library requires.
//
// Byte requests of any alignment and length are turned into whole-sector
// calls of at most 32 MiB: unaligned edges are read into a sector and
// patched (read-modify-write), which is safe because requests on a
// connection are serialised and a writable export has one connection.
#pragma once

#include <oruDiskLib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "export_config.h"

struct nbdkit_extents;

namespace oru_nbdkit {

class VolumeHandle {
  public:
    // Opens the configured volume read-only or read-write. On failure
    // returns null after nbdkit_error.
    static std::unique_ptr<VolumeHandle> open(const ExportConfig &config, bool readonly);
    ~VolumeHandle();
    VolumeHandle(const VolumeHandle &) = delete;
    VolumeHandle &operator=(const VolumeHandle &) = delete;

    bool readonly() const { return readonly_; }
    uint64_t size() const { return size_; }
    // Whether the library answers extent queries for this volume.
    bool has_extents() const { return has_extents_; }

    // Each returns false after nbdkit_error and nbdkit_set_error.
    bool read(void *buffer, uint64_t count, uint64_t offset);
    bool write(const void *buffer, uint64_t count, uint64_t offset);
    // Adds the extents covering [offset, offset + count); only the first
    // when `first_only`.
    bool extents(uint64_t count, uint64_t offset, bool first_only, nbdkit_extents *out);

  private:
    VolumeHandle(const ExportConfig &config, bool readonly);
    bool attach(const ExportConfig &config);
    bool probe_size();
    bool sector_exists(uint64_t sector, unsigned char *scratch, bool *exists);
    bool read_sectors(uint64_t sector, uint64_t count, void *buffer);
    bool write_sectors(uint64_t sector, uint64_t count, const void *buffer);
    bool patch_sector(uint64_t offset, const unsigned char *data, uint64_t length);

    bool readonly_;
    bool remote_;
    bool open_ = false;
    bool has_extents_ = false;
    uint64_t size_ = 0;
    std::string name_;
    // The descriptor's texts live here: the library reads them at each call.
    std::string path_, uuid_, datastore_, target_url_, initiator_, transport_;
    oruDiskLibVolume volume_{};
    oruDiskLibConnection connection_ = nullptr;
    oruDiskLibHandle handle_ = nullptr;
};

} // namespace oru_nbdkit
