// Single SCSI commands on an open iSCSI volume's session, for code beside
// the reads and writes (the extents query). They wait like the reads and
// writes do: at most ORU_NET_TIMEOUT seconds of silence, after which the
// session is given up (see iscsi_volume.cpp), so later calls on the volume
// fail at once and the close has nothing to end.
#pragma once

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <functional>
#include <memory>

#include "core/handle.h"

namespace oru::iscsi {

struct TaskDeleter {
    void operator()(scsi_task *task) const { scsi_free_scsi_task(task); }
};
using Task = std::unique_ptr<scsi_task, TaskDeleter>;

enum class Answer {
    given,     // the target answered: the task's status says how
    failed,    // the command could not be sent or the connection broke
    timed_out, // no answer in time: the session of the handle is gone
};

// Sends the command that `send` builds (a libiscsi *_task call given the
// callback and data to report to) on h's session and waits for its answer.
// *task holds the command afterwards, whatever the answer.
Answer command(oruDiskLibInHandle *h,
               const std::function<scsi_task *(iscsi_command_cb, void *)> &send, Task *task);

} // namespace oru::iscsi
