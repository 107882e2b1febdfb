// Handle lifecycle and the identification queries.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "qcow2.h"
#include "rwimage1.h"

ORU_EXPORT oruError oruDiskLib_Init(oruDiskLibHandle *handle) {
    return oru::api_call([&]() -> oruError {
        if (!handle) return ORU_E_INIT;
        // Zero-filled, so that a close or a later open never acts on stale fields.
        auto *h = static_cast<oruDiskLibInHandle *>(std::calloc(1, sizeof(oruDiskLibInHandle)));
        *handle = reinterpret_cast<oruDiskLibHandle>(h);
        return h ? ORU_OK : ORU_E_INIT;
    });
}

// Frees the record with the texts and the log it owns. An open volume is not
// closed here (that is oruDiskLib_Close's work), but what a failed remote open
// left behind (the export's address and port, the volume's log) must not leak
// with a handle that is finalized without a close.
ORU_EXPORT oruError oruDiskLib_Finalize(oruDiskLibHandle *handle) {
    if (!handle || !*handle) return ORU_OK;
    oruDiskLibInHandle *h = in_handle(*handle);
    std::free(h->ip);
    std::free(h->port);
    if (h->log) std::fclose(h->log);
    std::free(h);
    return ORU_OK;
}

ORU_EXPORT char *oruDiskLib_GetVersion(void) {
    return const_cast<char *>("1.5.0");
}

ORU_EXPORT char *oruDiskLib_GetTransportMode(void) {
    return const_cast<char *>("nbd:lanfree:file");
}
