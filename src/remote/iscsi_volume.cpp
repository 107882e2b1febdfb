// iSCSI branch of the volume operations (not yet attached: every call refuses).
#include "remote/transport.h"

oruError remote_iscsi_attach(oruDiskLibInHandle *, const oruDiskLibVolume *) { return ORU_ISCSI_OPEN; }
oruError remote_iscsi_read(oruDiskLibInHandle *, uint64_t, uint64_t, void *) { return ORU_ISCSI_READ; }
oruError remote_iscsi_write(oruDiskLibInHandle *, uint64_t, uint64_t, void *) { return ORU_ISCSI_WRITE; }
oruError remote_iscsi_header_get(oruDiskLibInHandle *, void *) { return ORU_ISCSI_READ; }
oruError remote_iscsi_header_set(oruDiskLibInHandle *, void *) { return ORU_ISCSI_WRITE; }
oruError remote_iscsi_close(oruDiskLibInHandle *) { return ORU_E_CLOSE; }
