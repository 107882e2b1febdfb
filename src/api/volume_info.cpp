// oruDiskLib_GetInfo: what an open volume is, from its backend, so that no
// client parses image headers or probes a remote volume by reading.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "api/volume_access.h"
#include "core/export.h"
#include "core/last_error.h"

namespace {

constexpr uint32_t kMaxRequestBytes = 33554432; // the Read/Write limit
constexpr uint32_t kLeadingBytes = offsetof(oruDiskLibInfo, capacity);

} // namespace

ORU_EXPORT oruError oruDiskLib_GetInfo(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                       oruDiskLibInfo *info) {
    return oru::api_call([&]() -> oruError {
        if (!handle || !volume || !info || info->structSize < kLeadingBytes) return ORU_E_PARAMS;
        oruDiskLibInHandle *h = in_handle(handle);
        const VolumeOps *ops = nullptr;
        if (oruError rc = oru::volume_ops(h, volume, &ops); rc != ORU_OK) return rc;
        DeviceInfo device;
        if (oruError rc = ops->info(h, &device); rc != ORU_OK) return rc;
        const uint64_t base = oru::volume_base(volume);
        oruDiskLibInfo facts{};
        facts.structSize = static_cast<uint32_t>(std::min<size_t>(info->structSize, sizeof facts));
        facts.format = static_cast<uint32_t>(volume->diskFormat);
        facts.capacity = device.size > base ? device.size - base : 0;
        facts.clusterSize = device.cluster_size;
        facts.minBlockSize = std::max<uint32_t>(device.min_block, 512);
        facts.preferredBlockSize = std::max(device.preferred_block, facts.minBlockSize);
        facts.maxRequestBytes =
            device.max_request ? std::min(device.max_request, kMaxRequestBytes) : kMaxRequestBytes;
        facts.flags = device.flags;
        if (!ops->list_bitmaps) facts.flags &= ~static_cast<uint32_t>(ORU_INFO_BITMAPS);
        // Later versions only append: never fill more than the caller has room for.
        std::memcpy(info, &facts, facts.structSize);
        return ORU_OK;
    });
}
