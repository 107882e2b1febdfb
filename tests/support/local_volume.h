// A local volume opened on a handle of its own, closed and the handle
// finalized when the object dies. Tests derive their own Volume from it to add
// the calls they make.
#pragma once

#include <string>

#include "oruDiskLib.h"
#include "support/test_support.h"

namespace oru::test {

class LocalVolume {
  public:
    LocalVolume(const std::string &path, int format, int flag) : path_(path) {
        volume_.diskPath = path_.data();
        volume_.diskFormat = format;
        EXPECT_EQ(oruDiskLib_Init(&handle_), ORU_OK);
        status_ = oruDiskLib_Open(&volume_, flag, nullptr, false, handle_, nullptr);
        EXPECT_EQ(status_, ORU_OK) << path;
    }
    ~LocalVolume() {
        close();
        oruDiskLib_Finalize(&handle_);
    }
    LocalVolume(const LocalVolume &) = delete;
    LocalVolume &operator=(const LocalVolume &) = delete;

    // Closes the volume (once); later calls answer ORU_OK.
    oruError close() {
        oruError rc = status_ == ORU_OK ? oruDiskLib_Close(handle_, &volume_) : ORU_OK;
        status_ = ORU_E_CLOSE;
        return rc;
    }
    oruDiskLibHandle handle() const { return handle_; }
    const oruDiskLibVolume *volume() const { return &volume_; }
    bool ok() const { return status_ == ORU_OK; }

  private:
    std::string path_;
    oruDiskLibVolume volume_{};
    oruDiskLibHandle handle_ = nullptr;
    oruError status_ = ORU_E_PARAMS;
};

} // namespace oru::test
