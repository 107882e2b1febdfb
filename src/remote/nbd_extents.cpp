// Extents of an NBD volume.
#include <algorithm>

#include "remote/transport.h"

oruError remote_nbd_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                            oru_extent_fn fn, void *opaque) {
    if (!h || !h->rblk) return ORU_E_HANDLENBD;
    if (offset < h->size) fn(opaque, offset, std::min(length, h->size - offset), 0);
    return ORU_OK;
}
