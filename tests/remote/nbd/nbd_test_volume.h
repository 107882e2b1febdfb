// An NBD volume handle wired to an export on 127.0.0.2, as the NBD attach
// leaves it, for tests that drive the NBD backend below oruDiskLib_Open.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/handle.h"
#include "remote/transport.h"

namespace oru::test {

struct NbdTestVolume {
    oruDiskLibInHandle h{};
    oruDiskLibVolume volume{};
    bool ok = false;
    NbdTestVolume(const std::string &port, const std::string &name, int format,
                  int open_flag = 0) {
        h.flag = ORU_TRANSPORT_NBD;
        h.open_flag = open_flag;
        h.log = tmpfile();
        volume.diskFormat = format;
        ok = sdk_img_conn(&h.rblk, (char *)"127.0.0.2", const_cast<char *>(port.c_str()),
                          const_cast<char *>(name.c_str()), nbderror) == 0 &&
             sdk_img_size(h.rblk, &h.size, nbderror) == 0;
        EXPECT_TRUE(ok) << nbderror;
    }
    ~NbdTestVolume() { remote_nbd_close(&h); }
    NbdTestVolume(const NbdTestVolume &) = delete;
    NbdTestVolume &operator=(const NbdTestVolume &) = delete;
    oruDiskLibHandle handle() { return reinterpret_cast<oruDiskLibHandle>(&h); }
};

} // namespace oru::test
