// Extents of an iSCSI volume: GET LBA STATUS on a LUN that reports logical
// block provisioning (LBPME in READ CAPACITY (16)); a LUN without it is one
// data extent. Mapped and anchored blocks are data; deallocated blocks are
// zero only when the LUN promises that they read as zeros (LBPRZ), since
// otherwise they may read as anything.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "remote/transport.h"

namespace {

constexpr char kErrRead[] = "iscsi failed to send Read10 command\n";
constexpr char kErrStatus[] = "iscsi failed to send get lba status command\n";

// Room for 255 descriptors after the 8-byte header, per command.
constexpr uint32_t kStatusAllocation = 8 + 16 * 255;

struct TaskDeleter {
    void operator()(scsi_task *task) const { scsi_free_scsi_task(task); }
};
using Task = std::unique_ptr<scsi_task, TaskDeleter>;

struct Provisioning {
    bool thin = false;        // LBPME: GET LBA STATUS is meaningful
    bool reads_zeros = false; // LBPRZ: deallocated blocks read as zeros
};

// A LUN that cannot answer READ CAPACITY (16) is taken as fully provisioned.
Provisioning provisioning(oruDiskLibInHandle *h) {
    Provisioning p;
    Task task(iscsi_readcapacity16_sync(h->iscsi, h->lun));
    if (!task || task->status != SCSI_STATUS_GOOD) return p;
    auto *cap = static_cast<scsi_readcapacity16 *>(scsi_datain_unmarshall(task.get()));
    if (!cap) return p;
    p.thin = cap->lbpme != 0;
    p.reads_zeros = cap->lbprz != 0;
    return p;
}

// The target refused the command itself (not the session): it has no
// status to give, and the rest is data.
bool refused(const scsi_task *task) {
    return task->status == SCSI_STATUS_CHECK_CONDITION &&
           task->sense.key == SCSI_SENSE_ILLEGAL_REQUEST;
}

} // namespace

oruError remote_iscsi_extents(oruDiskLibInHandle *h, uint64_t offset, uint64_t length,
                              oru_extent_fn fn, void *opaque) {
    if (!h || !h->iscsi || h->blocksize <= 0) {
        iscsierror = const_cast<char *>(kErrRead);
        return ORU_ISCSI_READ;
    }
    const uint64_t block = static_cast<uint64_t>(h->blocksize);
    const uint64_t size = (h->num_blocks + 1) * block;
    if (offset >= size) return ORU_OK;
    const uint64_t end = offset + std::min(length, size - offset);
    const Provisioning lun = provisioning(h);
    uint64_t position = offset;
    while (lun.thin && position < end) {
        Task task(iscsi_get_lba_status_sync(h->iscsi, h->lun, position / block, kStatusAllocation));
        if (!task) {
            iscsierror = const_cast<char *>(kErrStatus);
            return ORU_ISCSI_READ;
        }
        if (task->status != SCSI_STATUS_GOOD) {
            if (refused(task.get())) break;
            iscsierror = const_cast<char *>(kErrStatus);
            return ORU_ISCSI_READ;
        }
        auto *status = static_cast<scsi_get_lba_status *>(scsi_datain_unmarshall(task.get()));
        const uint64_t before = position;
        for (uint32_t i = 0; status && i < status->num_descriptors && position < end; ++i) {
            const scsi_lba_status_descriptor &d = status->descriptors[i];
            if (d.lba > h->num_blocks) break;
            const uint64_t end_lba = std::min<uint64_t>(d.lba + d.num_blocks, h->num_blocks + 1);
            const uint64_t from = d.lba * block;
            const uint64_t to = std::min(end_lba * block, end);
            // Descriptors follow each other from the LBA asked for; anything
            // else is left as data below rather than guessed at.
            if (from > position || to <= position) break;
            const bool zero =
                d.provisioning == SCSI_PROVISIONING_TYPE_DEALLOCATED && lun.reads_zeros;
            if (fn(opaque, position, to - position, zero ? 1 : 0) != 0) return ORU_OK;
            position = to;
        }
        if (position == before) break; // no progress: the rest is data
    }
    if (position < end) fn(opaque, position, end - position, 0);
    return ORU_OK;
}
