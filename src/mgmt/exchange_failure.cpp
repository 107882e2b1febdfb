// Why the calling thread's last request failed, when its code cannot say it:
// a step that ran out of time, a certificate that was not accepted. The
// codes keep their meaning and texts; this adds the reason for the volume
// log and for callers that read nbderror.
#include <string>

#include "core/last_error.h"
#include "mgmt/mgmt.h"
#include "oruDiskLib.h"
#include "util/bounded_copy.h"

namespace oru::mgmt {

namespace {
thread_local std::string last_failure;
}

const std::string &exchange_failure() {
    return last_failure;
}

void clear_exchange_failure() {
    last_failure.clear();
}

void note_exchange_failure(const std::string &text) {
    last_failure = text;
    oru::set_nbderror(last_failure.c_str());
}

} // namespace oru::mgmt
