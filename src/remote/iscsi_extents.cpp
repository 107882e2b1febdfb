// Extents of an iSCSI volume.
#include "remote/transport.h"

oruError remote_iscsi_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                              oru_extent_fn fn, void *opaque) {
    if (!h || !h->iscsi) return ORU_ISCSI_READ;
    fn(opaque, offset, length, 0);
    return ORU_OK;
}
