// NBD branch of the volume operations (not yet attached: every call refuses).
#include "remote/transport.h"

oruError remote_prologue(oruDiskLibInHandle *, const oruDiskLibVolume *, oruDiskLibInConnection *conn) {
    return conn ? ORU_OK : ORU_E_PARAMS;
}
oruError remote_nbd_attach(oruDiskLibInHandle *, const oruDiskLibVolume *, const char *,
                           oruDiskLibInConnection *) {
    return ORU_E_REMOTE_OPEN;
}
oruError remote_nbd_read(oruDiskLibInHandle *, uint64_t, uint64_t, void *) { return ORU_E_HANDLENBD; }
oruError remote_nbd_write(oruDiskLibInHandle *, uint64_t, uint64_t, void *) { return ORU_E_HANDLENBD; }
oruError remote_nbd_header_get(oruDiskLibInHandle *, void *) { return ORU_E_HANDLENBD; }
oruError remote_nbd_header_set(oruDiskLibInHandle *, void *) { return ORU_E_HANDLENBD; }
oruError remote_nbd_close(oruDiskLibInHandle *) { return ORU_E_CLOSE; }
