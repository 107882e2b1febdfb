// Image creation: qcow2 through the qcow2 engine, every other format as a raw
// file. The routine's 0 / -1 is handed back unchanged: creation failures have
// no code of their own.
#include "core/export.h"
#include "core/last_error.h"
#include "oruDiskLib.h"
#include "qcow2.h"
#include "rwimage1.h"

#include <sys/types.h>

#include <cstdint>

namespace {

int create(char *path, char *backingfile, uint32_t cluster_size, uint64_t size, int format) {
    try {
        if (format == ORU_QCOW) return qcow2_create(path, backingfile, cluster_size, size);
        // off_t is signed: a size it cannot hold would become a negative length.
        if (size > static_cast<uint64_t>(INT64_MAX)) return -1;
        return raw_create(path, static_cast<off_t>(size));
    } catch (...) {
        return -1;
    }
}

} // namespace

ORU_EXPORT oruError oruDiskLib_Create(char *path, char *backingfile, uint32_t cluster_size,
                                      uint64_t size, int format) {
    oru::ApiCallScope scope;
    int rc = create(path, backingfile, cluster_size, size, format);
    scope.finish(rc != 0, "image creation failed");
    return static_cast<oruError>(rc);
}
