// Thread-local failure texts behind oruDiskLib_GetLastErrorText.
#include "core/last_error.h"

#include "core/export.h"
#include "util/bounded_copy.h"

namespace {

// Longer than any slot text (nbderror holds 99 bytes, system texts 511).
constexpr size_t kTextBytes = 512;

thread_local char shown[kTextBytes] = "";   // what GetLastErrorText answers
thread_local char pending[kTextBytes] = ""; // noted during the current call
thread_local bool noted = false;
thread_local int depth = 0; // nested exported calls (Open runs SelectHost)

} // namespace

namespace oru {

void note_failure(const char *text) noexcept {
    // Outside any exported call (an internal routine called directly) the
    // note is the result.
    oru::bounded_copy(depth > 0 ? pending : shown, kTextBytes, text);
    noted = true;
}

const char *noted_failure() noexcept {
    if (!noted) return "";
    return depth > 0 ? pending : shown;
}

void set_slot(char *&slot, const char *text) noexcept {
    slot = const_cast<char *>(text);
    note_failure(text);
}

void set_nbderror(const char *text) noexcept {
    oru::bounded_copy(nbderror, sizeof nbderror, text);
    note_failure(text);
}

ApiCallScope::ApiCallScope() noexcept {
    if (depth++ == 0) noted = false;
}

ApiCallScope::~ApiCallScope() {
    --depth;
}

void ApiCallScope::finish(bool failed, const char *fallback) noexcept {
    if (depth != 1) return; // the outermost call decides
    if (failed) oru::bounded_copy(shown, kTextBytes, noted ? pending : fallback);
    noted = false;
}

} // namespace oru

ORU_EXPORT const char *oruDiskLib_GetLastErrorText(void) {
    return shown;
}
