// Image creation: qcow2 through the qcow2 engine, every other format as a raw
// file. The routine's 0 / -1 is handed back unchanged: creation failures have
// no code of their own.
#include "core/export.h"
#include "oruDiskLib.h"
#include "qcow2.h"
#include "rwimage1.h"

#include <sys/types.h>

#include <cstdint>

ORU_EXPORT oruError oruDiskLib_Create(char *path, char *backingfile, uint32_t cluster_size,
                                      uint64_t size, int format) {
    try {
        if (format == ORU_QCOW)
            return static_cast<oruError>(qcow2_create(path, backingfile, cluster_size, size));
        // off_t is signed: a size it cannot hold would become a negative length.
        if (size > static_cast<uint64_t>(INT64_MAX)) return static_cast<oruError>(-1);
        return static_cast<oruError>(raw_create(path, static_cast<off_t>(size)));
    } catch (...) {
        return static_cast<oruError>(-1);
    }
}
