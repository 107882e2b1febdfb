// orudisk bitmap: has the library write the allocated-cluster bitmap of a
// local volume ("<image>.b") and summarises it.
#include <oruDiskLib.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "allocation.h"
#include "commands.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

void run_bitmap(const VolumeOptions &volume, const Output &out) {
    validate(volume);
    std::optional<ImageHeader> header = local_header(volume);
    int format = choose_format(volume, header);
    VolumeSession session(volume, format, ORU_RO);
    AllocationMap map = query_allocation(session, true);
    session.close();

    uint64_t granules = map.allocated.size(), used = map.allocated_count();
    uint64_t extents = map.extents(UINT64_MAX).size();
    double share = granules ? static_cast<double>(used) / static_cast<double>(granules) : 0.0;
    nlohmann::json doc = {{"command", "bitmap"},     {"volume", volume.describe()},
                          {"bitmap_file", map.file}, {"granularity", map.granularity},
                          {"granules", granules},    {"allocated", used},
                          {"allocated_bytes", used * map.granularity},
                          {"extents", extents},      {"share", share}};
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f%%", 100.0 * share);
    std::ostringstream text;
    text << "bitmap file: " << map.file << "\n"
         << "granularity: " << human_size(map.granularity) << "\n"
         << "allocated:   " << used << " of " << granules << " (" << percent << "), "
         << human_size(used * map.granularity) << " in " << extents << " extents\n";
    emit(out, doc, text.str());
}

} // namespace

void add_bitmap_command(CLI::App &app, const Output &out) {
    auto volume = std::make_shared<VolumeOptions>();
    CLI::App *cmd = app.add_subcommand(
        "bitmap", "Write the allocated-cluster bitmap of a local volume (<image>.b) and summarise it");
    add_volume_options(*cmd, *volume, "Volume");
    cmd->callback([volume, &out] { run_bitmap(*volume, out); });
}

} // namespace orudisk
