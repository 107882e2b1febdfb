// One volume opened through the library's public API: the connection (for
// remote volumes), the handle and the open volume, released in the reverse
// order whatever happens. Reads and writes take byte offsets that are
// multiples of 512 and at most 32 MiB at a time.
#pragma once

#include <oruDiskLib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "volume_options.h"

namespace orudisk {

inline constexpr uint64_t kSector = 512;
inline constexpr uint64_t kMaxTransfer = 32ull << 20; // the library's limit per call
inline constexpr uint64_t kLuksHeaderBytes = 1052672; // header region of LUKS volumes

// SDK_TYPE for "qcow2", "raw", "luks".
int format_code(const std::string &name);
std::string format_name(int code);

class VolumeSession {
  public:
    // Connects (remote), allocates a handle and opens the volume with
    // open_flag (ORU_RO / ORU_RW, with ORU_WRITEBACK or not) and the given
    // SDK_TYPE. Throws CliError.
    VolumeSession(const VolumeOptions &options, int format, int open_flag);
    ~VolumeSession();
    VolumeSession(const VolumeSession &) = delete;
    VolumeSession &operator=(const VolumeSession &) = delete;

    int format() const { return volume_.diskFormat; }
    bool remote() const { return remote_; }
    const std::string &path() const { return path_; }
    const std::string &name() const { return name_; }

    // `buffer` holds length rounded up to whole sectors.
    void read(uint64_t offset, uint64_t length, void *buffer);
    void write(uint64_t offset, uint64_t length, void *buffer);
    // The LUKS header region (kLuksHeaderBytes) of a LUKS volume.
    void read_luks_header(void *buffer);
    void write_luks_header(void *buffer);
    // Has the library write "<path>.b", the allocated-cluster bitmap.
    void query_allocation();
    // One oruDiskLib_QueryExtents call. The code comes back rather than
    // thrown: a caller may do without the answer.
    oruError query_extents(uint64_t start_sector, uint64_t sectors, oruDiskLibExtent *extents,
                           uint32_t max_extents, uint32_t *count);
    // What the library says the volume is: format, capacity in bytes (after
    // a LUKS header), cluster and block sizes.
    oruDiskLibInfo info();
    // [offset, offset + length) reads as zeros afterwards; whole sectors,
    // inside the volume, any length.
    void write_zeroes(uint64_t offset, uint64_t length);
    // Everything written so far is durable (a handle opened with
    // ORU_WRITEBACK defers that to here or to close).
    void flush();
    // One oruDiskLib_QueryChangedExtents call, its code returned like
    // query_extents'.
    oruError query_changed_extents(const std::string &bitmap, uint64_t start_sector,
                                   uint64_t sectors, oruDiskLibExtent *extents,
                                   uint32_t max_extents, uint32_t *count);
    // Every change-tracking bitmap of the volume. Throws CliError.
    std::vector<oruDiskLibBitmapInfo> list_bitmaps();
    // Closes the volume, reporting a failure (a write-back that did not
    // reach the image must not pass unnoticed). Idempotent.
    void close();

  private:
    void release() noexcept;

    bool remote_ = false;
    std::string name_;
    // The descriptor's texts live here; the library keeps pointers to them.
    std::string path_, uuid_, datastore_, target_url_, initiator_, transport_;
    oruDiskLibVolume volume_{};
    oruDiskLibConnection connection_ = nullptr;
    oruDiskLibHandle handle_ = nullptr;
    bool open_ = false;
};

} // namespace orudisk
