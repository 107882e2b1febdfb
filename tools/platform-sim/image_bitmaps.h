// The persistent dirty bitmaps a qcow2 image holds, as qemu-img reports
// them: what a volume configured with "bitmaps": true exports.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace oru::sim {

// The names of the bitmaps stored in the qcow2 image, in qemu-img's order;
// nullopt (with the reason in why) when qemu-img could not read the image.
// The image may be open in a running export: it is read without a lock.
std::optional<std::vector<std::string>> image_bitmaps(const std::string &image, std::string &why);

} // namespace oru::sim
