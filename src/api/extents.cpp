// oruDiskLib_QueryExtents: which sectors of an open volume hold data.
#include "core/export.h"
#include "core/handle.h"

ORU_EXPORT oruError oruDiskLib_QueryExtents(oruDiskLibHandle, const oruDiskLibVolume *,
                                            oruDiskLibSectorType, oruDiskLibSectorType,
                                            oruDiskLibExtent *, uint32_t, uint32_t *numExtents) {
    if (numExtents) *numExtents = 0;
    return ORU_E_PARAMS;
}
