// oruDiskLib_QueryExtents: which sectors of an open volume hold data.
//
// Each transport describes a byte range of its device (the image file, the
// NBD export, the LUN) as runs of "reads as zeros" and "may hold data"; this
// file checks the arguments, finds the volume's end, and turns those runs
// into sector extents. Sector rounding is conservative: a sector is zero only
// when every byte of it is, so a partial sector at either end of a zero run,
// and a partial last sector of the volume, count as data.
#include <algorithm>
#include <cstdint>

#include "api/volume_access.h"
#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "qcow2.h"
#include "remote/transport.h"
#include "rwimage1.h"

namespace {

using oru::kSectorShift;

uint64_t sectors_down(uint64_t bytes) {
    return bytes >> kSectorShift;
}
uint64_t sectors_up(uint64_t bytes) {
    return (bytes >> kSectorShift) + ((bytes & 511) != 0);
}

// Collects the runs a transport reports, in device bytes, into the caller's
// extent array. Runs arrive in ascending order; a gap between two runs (a
// transport that skipped something) is data. Adjacent extents of one kind
// are merged; once the array is full, the first run of another kind stops
// the walk, so the last extent handed back is never cut short by the list.
class ExtentList {
  public:
    // Volume bytes [first_sector * 512, end_bytes) are described; device
    // byte `base` is volume byte 0.
    ExtentList(uint64_t base, uint64_t first_sector, uint64_t end_bytes, oruDiskLibExtent *out,
               uint32_t max)
        : base_(base), end_bytes_(end_bytes), out_(out), max_(max), cursor_(first_sector),
          position_(first_sector << kSectorShift) {}

    uint64_t device_offset() const { return base_ + position_; }
    uint64_t device_length() const { return end_bytes_ - position_; }

    // C trampoline handed to the transports: 0 to go on, 1 to stop.
    static int receive(void *opaque, uint64_t offset, uint64_t length, int zero) {
        auto *list = static_cast<ExtentList *>(opaque);
        return list->add(offset, length, zero != 0) ? 0 : 1;
    }

    // Whatever the transport left undescribed is data. Returns the count.
    uint32_t finish() {
        flush_zero_run();
        emit(sectors_up(end_bytes_), false);
        return count_;
    }

  private:
    bool add(uint64_t device_offset, uint64_t length, bool zero) {
        // Only what lies after the LUKS header region belongs to the volume.
        const uint64_t device_end = device_offset + std::min(length, UINT64_MAX - device_offset);
        if (device_end <= base_) return more();
        uint64_t from = std::max(device_offset, base_) - base_;
        const uint64_t to = std::min(device_end - base_, end_bytes_);
        if (from > position_) add_data(from); // an undescribed gap
        from = std::max(from, position_);
        if (to <= from) return more();
        if (zero) {
            if (!in_zero_run_) zero_from_ = from;
            in_zero_run_ = true;
        } else {
            add_data(to);
        }
        position_ = to;
        return more();
    }

    bool more() const { return !full_ && position_ < end_bytes_; }

    void add_data(uint64_t to) {
        flush_zero_run();
        emit(sectors_up(to), false);
        position_ = std::max(position_, to);
    }

    // The whole sectors of the pending zero run become a zero extent; its
    // partial sectors are left to the data around it.
    void flush_zero_run() {
        if (!in_zero_run_) return;
        in_zero_run_ = false;
        uint64_t first = sectors_up(zero_from_), end = sectors_down(position_);
        if (first >= end) return;
        emit(first, false);
        emit(end, true);
    }

    // Extends the extents up to sector `end` with one of the given kind.
    void emit(uint64_t end, bool zero) {
        if (full_ || end <= cursor_) return;
        const uint32_t flags = zero ? ORU_EXTENT_ZERO : ORU_EXTENT_DATA;
        oruDiskLibExtent *last = count_ ? &out_[count_ - 1] : nullptr;
        if (last && last->flags == flags && last->start + last->count == cursor_) {
            last->count += end - cursor_;
        } else if (count_ == max_) {
            full_ = true;
            return;
        } else {
            out_[count_++] = {cursor_, end - cursor_, flags};
        }
        cursor_ = end;
    }

    const uint64_t base_, end_bytes_;
    oruDiskLibExtent *const out_;
    const uint32_t max_;
    uint32_t count_ = 0;
    uint64_t cursor_;   // volume sector up to which extents are emitted
    uint64_t position_; // volume byte up to which runs were received
    bool in_zero_run_ = false;
    uint64_t zero_from_ = 0;
    bool full_ = false;
};

// How a query describes device bytes: the volume's allocation, or what a
// change-tracking bitmap marks (unchanged runs reported as "zero").
using Describe = oruError (*)(oruDiskLibInHandle *h, const VolumeOps *ops, const char *bitmap,
                              uint64_t offset, uint64_t length, oru_extent_fn fn, void *opaque);

oruError describe_allocation(oruDiskLibInHandle *h, const VolumeOps *ops, const char *,
                             uint64_t offset, uint64_t length, oru_extent_fn fn, void *opaque) {
    return ops->extents(h, offset, length, fn, opaque);
}

oruError describe_changes(oruDiskLibInHandle *h, const VolumeOps *ops, const char *bitmap,
                          uint64_t offset, uint64_t length, oru_extent_fn fn, void *opaque) {
    return ops->changed_extents(h, bitmap, offset, length, fn, opaque);
}

oruError query(oruDiskLibInHandle *h, const oruDiskLibVolume *volume, Describe describe,
               const char *bitmap, uint64_t start_sector, uint64_t num_sectors,
               oruDiskLibExtent *extents, uint32_t max_extents, uint32_t *num_extents) {
    const VolumeOps *ops = nullptr;
    if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
    if (describe == describe_changes && !ops->changed_extents) {
        // Raw, LUKS and iSCSI volumes keep no change-tracking bitmaps: saying
        // "unchanged" for them would lose data from an incremental backup.
        return oru::no_bitmaps(h, volume, bitmap);
    }
    DeviceInfo device;
    if (oruError rc = ops->info(h, &device); rc != ORU_OK) return rc;
    const uint64_t base = oru::volume_base(volume);
    const uint64_t volume_bytes = device.size > base ? device.size - base : 0;
    const uint64_t volume_sectors = sectors_up(volume_bytes);
    if (start_sector > volume_sectors) return ORU_E_PARAMS;
    const uint64_t end_sector = start_sector + std::min(num_sectors, volume_sectors - start_sector);
    if (end_sector == start_sector) return ORU_OK;
    // A partial last sector is described up to the volume's last byte only.
    const uint64_t end_bytes = std::min(end_sector << kSectorShift, volume_bytes);
    ExtentList list(base, start_sector, end_bytes, extents, max_extents);
    oruError rc = describe(h, ops, bitmap, list.device_offset(), list.device_length(),
                           &ExtentList::receive, &list);
    if (rc != ORU_OK) return rc;
    *num_extents = list.finish();
    if (describe == describe_changes) {
        // Data ("may differ") is what changed; zero runs are the unchanged ones.
        for (uint32_t i = 0; i < *num_extents; ++i)
            extents[i].flags = extents[i].flags == ORU_EXTENT_ZERO ? 0 : ORU_EXTENT_CHANGED;
    }
    return ORU_OK;
}

} // namespace

ORU_EXPORT oruError oruDiskLib_QueryExtents(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                            oruDiskLibSectorType startSector,
                                            oruDiskLibSectorType numSectors,
                                            oruDiskLibExtent *extents, uint32_t maxExtents,
                                            uint32_t *numExtents) {
    return oru::api_call([&]() -> oruError {
        if (numExtents) *numExtents = 0;
        if (!handle || !volume || !extents || !numExtents || maxExtents == 0) return ORU_E_PARAMS;
        try {
            return query(in_handle(handle), volume, describe_allocation, nullptr, startSector,
                         numSectors, extents, maxExtents, numExtents);
        } catch (...) {
            return ORU_E_MALLOC;
        }
    });
}

ORU_EXPORT oruError oruDiskLib_QueryChangedExtents(
    oruDiskLibHandle handle, const oruDiskLibVolume *volume, const char *bitmapName,
    oruDiskLibSectorType startSector, oruDiskLibSectorType numSectors, oruDiskLibExtent *extents,
    uint32_t maxExtents, uint32_t *numExtents) {
    return oru::api_call([&]() -> oruError {
        if (numExtents) *numExtents = 0;
        if (!handle || !volume || !bitmapName || !extents || !numExtents || maxExtents == 0)
            return ORU_E_PARAMS;
        try {
            return query(in_handle(handle), volume, describe_changes, bitmapName, startSector,
                         numSectors, extents, maxExtents, numExtents);
        } catch (...) {
            return ORU_E_MALLOC;
        }
    });
}
