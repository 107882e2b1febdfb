// The change-tracking bitmaps of a volume: oruDiskLib_ListBitmaps, and the
// refusal shared with oruDiskLib_QueryChangedExtents (extents.cpp) for
// volumes that keep none.
#include "api/volume_access.h"
#include "core/export.h"
#include "core/last_error.h"

oruError oru::no_bitmaps(oruDiskLibInHandle *, const oruDiskLibVolume *, const char *) {
    return ORU_E_NOT_SUPPORTED;
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
