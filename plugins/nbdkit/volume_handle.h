// One NBD connection's volume: its management connection (remote), its
// library handle and the open volume, released in the reverse order on every
// path. A handle serves one thread at a time, as the library requires.
//
// Byte requests of any alignment and length are turned into whole-sector
// calls of at most 32 MiB: unaligned edges are read into a sector and
// patched (read-modify-write), which is safe because requests on a
// connection are serialised and a writable export has one connection.
// What the volume is (size, block sizes, whether zeroing is cheap) comes
// from the library once, at open.
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
    uint64_t size() const { return info_.capacity; }
    // Whether the library tells holes from data on this volume.
    bool has_extents() const { return (info_.flags & ORU_INFO_EXTENTS) != 0; }
    // Whether zeroing costs about nothing per byte (no data written).
    bool fast_zero() const { return (info_.flags & ORU_INFO_FAST_ZERO) != 0; }
    // The request alignment that avoids read-modify-write inside the
    // library, as a power of two from 4 KiB to 32 MiB.
    uint32_t preferred_block() const;

    // Each returns false after nbdkit_error and nbdkit_set_error.
    bool read(void *buffer, uint64_t count, uint64_t offset);
    bool write(const void *buffer, uint64_t count, uint64_t offset);
    // Makes the range read as zeros: whole sectors through the library's
    // zeroing (which writes no data where the volume can avoid it), the
    // unaligned edges patched like writes.
    bool zero(uint64_t count, uint64_t offset);
    // Makes every write that returned durable.
    bool flush();
    // Adds the extents covering [offset, offset + count); only the first
    // when `first_only`.
    bool extents(uint64_t count, uint64_t offset, bool first_only, nbdkit_extents *out);

  private:
    VolumeHandle(const ExportConfig &config, bool readonly);
    bool attach(const ExportConfig &config);
    bool learn_facts(const ExportConfig &config);
    bool read_sectors(uint64_t sector, uint64_t count, void *buffer);
    bool write_sectors(uint64_t sector, uint64_t count, const void *buffer);
    bool patch_sector(uint64_t offset, const unsigned char *data, uint64_t length);

    bool readonly_;
    bool remote_;
    bool open_ = false;
    oruDiskLibInfo info_{};
    std::string name_;
    // The descriptor's texts live here: the library reads them at each call.
    std::string path_, uuid_, datastore_, target_url_, initiator_, transport_;
    oruDiskLibVolume volume_{};
    oruDiskLibConnection connection_ = nullptr;
    oruDiskLibHandle handle_ = nullptr;
};

} // namespace oru_nbdkit
