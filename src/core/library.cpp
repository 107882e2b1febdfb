// Handle lifecycle and the identification queries.
#include <cstdlib>
#include <new>

#include "core/export.h"
#include "core/handle.h"

ORU_EXPORT oruError oruDiskLib_Init(oruDiskLibHandle *handle) {
    if (!handle) return ORU_E_INIT;
    // Zero-filled, so that a close or a later open never acts on stale fields.
    auto *h = static_cast<oruDiskLibInHandle *>(std::calloc(1, sizeof(oruDiskLibInHandle)));
    *handle = reinterpret_cast<oruDiskLibHandle>(h);
    return h ? ORU_OK : ORU_E_INIT;
}

ORU_EXPORT oruError oruDiskLib_Finalize(oruDiskLibHandle *handle) {
    if (handle && *handle) std::free(in_handle(*handle));
    return ORU_OK;
}

ORU_EXPORT char *oruDiskLib_GetVersion(void) { return const_cast<char *>("1.5.0"); }

ORU_EXPORT char *oruDiskLib_GetTransportMode(void) {
    return const_cast<char *>("nbd:lanfree:file");
}
