// Extents of an iSCSI volume: GET LBA STATUS on a LUN that reports logical
// block provisioning (LBPME in READ CAPACITY (16)); a LUN without it is one
// data extent. Mapped and anchored blocks are data; deallocated blocks are
// zero only when the LUN promises that they read as zeros (LBPRZ), since
// otherwise they may read as anything.
//
// Both commands wait like the reads do (iscsi_command.h): a target that
// falls silent fails the query within ORU_NET_TIMEOUT and loses the session.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include "core/last_error.h"
#include "remote/iscsi_command.h"
#include "remote/transport.h"
#include <algorithm>
#include <cstdint>

namespace {

constexpr char kErrRead[] = "iscsi failed to send Read10 command\n";
constexpr char kErrStatus[] = "iscsi failed to send get lba status command\n";
constexpr char kErrCapacityTimeout[] = "iscsi readcapacity command timed out\n";
constexpr char kErrStatusTimeout[] = "iscsi get lba status command timed out\n";

// Room for 255 descriptors after the 8-byte header, per command.
constexpr uint32_t kStatusAllocation = 8 + 16 * 255;

using oru::iscsi::Answer;
using oru::iscsi::Task;

oruError fail(const char *text) {
    oru::set_slot(iscsierror, text);
    return ORU_ISCSI_READ;
}

struct Provisioning {
    bool thin = false;        // LBPME: GET LBA STATUS is meaningful
    bool reads_zeros = false; // LBPRZ: deallocated blocks read as zeros
};

// A LUN that cannot answer READ CAPACITY (16) is taken as fully provisioned;
// a target that does not answer at all fails the query.
oruError provisioning(oruDiskLibInHandle *h, Provisioning *p) {
    Task task;
    const Answer answer = oru::iscsi::command(
        h,
        [h](iscsi_command_cb done, void *data) {
            return iscsi_readcapacity16_task(h->iscsi, h->lun, done, data);
        },
        &task);
    if (answer == Answer::timed_out) return fail(kErrCapacityTimeout);
    if (answer != Answer::given || task->status != SCSI_STATUS_GOOD) return ORU_OK;
    auto *cap = static_cast<scsi_readcapacity16 *>(scsi_datain_unmarshall(task.get()));
    if (!cap) return ORU_OK;
    p->thin = cap->lbpme != 0;
    p->reads_zeros = cap->lbprz != 0;
    return ORU_OK;
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
    if (!h || !h->iscsi || h->blocksize <= 0) return fail(kErrRead);
    const uint64_t block = static_cast<uint64_t>(h->blocksize);
    const uint64_t size = (h->num_blocks + 1) * block;
    if (offset >= size) return ORU_OK;
    const uint64_t end = offset + std::min(length, size - offset);
    Provisioning lun;
    if (oruError rc = provisioning(h, &lun); rc != ORU_OK) return rc;
    uint64_t position = offset;
    while (lun.thin && position < end) {
        Task task;
        const Answer answer = oru::iscsi::command(
            h,
            [h, lba = position / block](iscsi_command_cb done, void *data) {
                return iscsi_get_lba_status_task(h->iscsi, h->lun, lba, kStatusAllocation, done,
                                                 data);
            },
            &task);
        if (answer == Answer::timed_out) return fail(kErrStatusTimeout);
        if (answer != Answer::given) return fail(kErrStatus);
        if (task->status != SCSI_STATUS_GOOD) {
            if (refused(task.get())) break;
            return fail(kErrStatus);
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
