// The change-tracking bitmaps of a volume: oruDiskLib_ListBitmaps, and the
// refusal shared with oruDiskLib_QueryChangedExtents (extents.cpp) for
// volumes that keep none.
#include "api/volume_access.h"
#include "core/export.h"
#include "core/last_error.h"

namespace {

constexpr char kFileKeepsNone[] = "raw and LUKS volumes keep no change-tracking bitmaps";
constexpr char kLunKeepsNone[] = "lanfree volumes keep no change-tracking bitmaps";
constexpr char kExportKeepsNone[] = "the NBD export offers no change-tracking bitmaps";

} // namespace

// Each transport answers in its own code and last-error slot, as its reads
// do, so that callers find the text where they look for that transport's.
oruError oru::no_bitmaps(oruDiskLibInHandle *h, const oruDiskLibVolume *, const char *) {
    switch (h->flag) {
    case ORU_TRANSPORT_LOCAL:
        oru::set_slot(rawerror, kFileKeepsNone);
        return ORU_E_RAW_BITMAP;
    case ORU_TRANSPORT_ISCSI:
        oru::set_slot(iscsierror, kLunKeepsNone);
        return ORU_ISCSI_READ;
    case ORU_TRANSPORT_NBD:
        oru::set_nbderror(kExportKeepsNone);
        return ORU_E_REMOTE_READ;
    default:
        return ORU_E_TRANS;
    }
}

ORU_EXPORT oruError oruDiskLib_ListBitmaps(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                           oruDiskLibBitmapInfo *bitmaps, uint32_t maxBitmaps,
                                           uint32_t *numBitmaps) {
    return oru::api_call([&]() -> oruError {
        if (numBitmaps) *numBitmaps = 0;
        if (!handle || !volume || !numBitmaps || (maxBitmaps > 0 && !bitmaps)) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(handle);
        const VolumeOps *ops = nullptr;
        if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
        if (!ops->list_bitmaps) return ORU_OK; // raw, LUKS, iSCSI: none
        try {
            return ops->list_bitmaps(h, bitmaps, maxBitmaps, numBitmaps);
        } catch (...) {
            return ORU_E_MALLOC;
        }
    });
}
