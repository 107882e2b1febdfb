// Allocated-cluster bitmaps of locally opened volumes: "<diskPath>.b".
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "core/export.h"
#include "core/handle.h"
#include "core/last_error.h"
#include "image/raw_bitmap.h"
#include "qcow2.h"
#include "rwimage1.h"

namespace {

const char kRemote[] = "not support remote now";
const char kNoMemory[] = "memory not enough";

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

oruError raw_bitmap(const oruDiskLibInHandle *h, const oruDiskLibVolume *volume) {
    if (!h->lblk || h->lblk->fd <= 0) return ORU_E_PARAMS; // no raw volume open
    std::unique_ptr<struct fiemap, FreeDeleter> extents(
        read_fiemap(h->lblk->fd, oru::SlotOut(rawerror)));
    if (!extents) return ORU_E_RAW_BITMAP;
    if (dump_fiemap(extents.get(), volume->diskPath, oru::SlotOut(rawerror)) == -1)
        return ORU_E_RAW_BITMAP;
    return ORU_OK;
}

oruError qcow2_bitmap(const oruDiskLibInHandle *h, const oruDiskLibVolume *volume) {
    if (!h->qblk) return ORU_E_PARAMS; // no qcow2 volume open
    std::string path;
    try {
        path = std::string(volume->diskPath) + ".b";
    } catch (const std::bad_alloc &) {
        oru::set_slot(qcowerror, kNoMemory);
        return ORU_E_QCOW_BITMAP;
    }
    if (QueryAllocatedClusters(h->qblk, path.data(), oru::SlotOut(qcowerror)) == -1)
        return ORU_E_QCOW_BITMAP;
    return ORU_OK;
}

} // namespace

ORU_EXPORT oruError oruDiskLib_QueryAllocatedClusters(oruDiskLibHandle diskHandle,
                                                      const oruDiskLibVolume *volume) {
    return oru::api_call([&]() -> oruError {
        if (!diskHandle) return ORU_E_PARAMS;
        const oruDiskLibInHandle *h = in_handle(diskHandle);
        if (h->flag != ORU_TRANSPORT_LOCAL) {
            oru::set_slot(qcowerror, kRemote);
            return ORU_E_QCOW_BITMAP;
        }
        if (!volume || !volume->diskPath) return ORU_E_PARAMS;
        // LUKS volumes are raw files here, header region included.
        if (volume->diskFormat != ORU_QCOW) return raw_bitmap(h, volume);
        return qcow2_bitmap(h, volume);
    });
}
