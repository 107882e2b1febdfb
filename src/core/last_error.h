// The calling thread's text of its latest failure (oruDiskLib_GetLastErrorText),
// kept beside the process-wide last-error slots.
//
// Two halves make it race-free between threads with volumes of their own:
//  - where a failure is recorded, set_slot / set_nbderror / SlotOut write the
//    process-wide slot as before and note the same text for this thread, so a
//    text is never read back from a slot that another thread may have changed;
//  - every exported call that can fail runs its body through api_call(),
//    which shows the noted text once the outermost call of the thread fails
//    (the code's own text when nothing was noted) and forgets notes of calls
//    that succeed, e.g. a connect attempt that a retry made good.
// A new entry point needs only `return oru::api_call([&] { ... });`.
#pragma once

#include <utility>

#include "oruDiskLib.h"

namespace oru {

// Notes text (NULL counts as empty) as this thread's failure of the current call.
void note_failure(const char *text) noexcept;

// The text this thread noted last during the current call ("" when none):
// unlike a process-wide slot, no other thread changes it.
const char *noted_failure() noexcept;

// Points a constant-text slot (qcowerror, rawerror, iscsierror) at text and notes it.
void set_slot(char *&slot, const char *text) noexcept;

// Copies text into nbderror (cut to fit) and notes it.
void set_nbderror(const char *text) noexcept;

// The `char **error` argument of an engine call: the engine writes a private
// pointer, and once the full expression ends what it set is published to the
// slot and noted. Use as a temporary: qcow2_read(..., SlotOut(qcowerror)).
class SlotOut {
  public:
    explicit SlotOut(char *&slot) noexcept : slot_(slot) {}
    SlotOut(const SlotOut &) = delete;
    SlotOut &operator=(const SlotOut &) = delete;
    ~SlotOut() {
        if (text_) set_slot(slot_, text_);
    }
    operator char **() noexcept { return &text_; }

  private:
    char *&slot_;
    char *text_ = nullptr;
};

// Brackets one exported call; see the top of this file.
class ApiCallScope {
  public:
    ApiCallScope() noexcept;
    ~ApiCallScope();
    ApiCallScope(const ApiCallScope &) = delete;
    ApiCallScope &operator=(const ApiCallScope &) = delete;
    // Ends the call: failed (with fallback as its text when nothing was noted) or not.
    void finish(bool failed, const char *fallback) noexcept;
};

template <class Body> oruError api_call(Body &&body) noexcept {
    ApiCallScope scope;
    oruError rc;
    try {
        rc = std::forward<Body>(body)();
    } catch (...) {
        rc = ORU_E_MALLOC;
    }
    scope.finish(rc != ORU_OK, oruDiskLib_GetErrorText(rc));
    return rc;
}

} // namespace oru
