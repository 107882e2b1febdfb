// The format of a local image served without format=. The library tells a
// volume's size and layout (oruDiskLib_GetInfo) only once it is open, and
// opening needs a format: choosing that format from the image's first bytes
// is all the plugin still reads from the file itself.
#pragma once

#include <string>

namespace oru_nbdkit {

// Checks that `path` is an image file or block device and sets *format to
// the SDK_TYPE its first bytes name: ORU_QCOW for the qcow2 magic, ORU_LUKS
// for the LUKS magic, ORU_RAW otherwise. On failure returns false and fills
// *error.
bool sniff_format(const std::string &path, int *format, std::string *error);

} // namespace oru_nbdkit
