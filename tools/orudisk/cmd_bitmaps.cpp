// orudisk bitmaps: the change-tracking bitmaps of a volume (those of a local
// qcow2 image, or those a remote export offers), as the library lists them.
#include <oruDiskLib.h>

#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>

#include "commands.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

nlohmann::json flag_names(uint32_t flags) {
    nlohmann::json names = nlohmann::json::array();
    if (flags & ORU_BITMAP_ENABLED) names.push_back("enabled");
    if (flags & ORU_BITMAP_INCONSISTENT) names.push_back("inconsistent");
    return names;
}

void run_bitmaps(const VolumeOptions &volume, const Output &out) {
    validate(volume);
    std::optional<ImageHeader> header = local_header(volume);
    int format = choose_format(volume, header);
    VolumeSession session(volume, format, ORU_RO);
    std::vector<oruDiskLibBitmapInfo> bitmaps = session.list_bitmaps();
    session.close();

    nlohmann::json list = nlohmann::json::array();
    std::ostringstream text;
    char columns[48];
    std::snprintf(columns, sizeof columns, "%12s  %s\n", "granularity", "flags");
    text << std::left << std::setw(32) << "name" << " " << columns;
    for (const oruDiskLibBitmapInfo &b : bitmaps) {
        nlohmann::json flags = flag_names(b.flags);
        // 0: the transport does not say (an NBD export).
        nlohmann::json granularity = b.granularity ? nlohmann::json(b.granularity) : nlohmann::json(nullptr);
        list.push_back({{"name", b.name}, {"granularity", granularity}, {"flags", flags}});
        std::string shown_flags;
        for (const auto &f : flags) {
            if (!shown_flags.empty()) shown_flags += ',';
            shown_flags += f.get<std::string>();
        }
        text << std::left << std::setw(32) << b.name << " " << std::right << std::setw(12)
             << (b.granularity ? human_size(b.granularity) : "-") << "  "
             << (shown_flags.empty() ? "-" : shown_flags) << "\n";
    }
    text << bitmaps.size() << (bitmaps.size() == 1 ? " bitmap\n" : " bitmaps\n");
    nlohmann::json doc = {{"command", "bitmaps"}, {"volume", volume.describe()}, {"bitmaps", list}};
    emit(out, doc, text.str());
}

} // namespace

void add_bitmaps_command(CLI::App &app, const Output &out) {
    auto volume = std::make_shared<VolumeOptions>();
    CLI::App *cmd = app.add_subcommand(
        "bitmaps", "List the change-tracking (dirty) bitmaps of a volume");
    add_volume_options(*cmd, *volume, "Volume");
    cmd->callback([volume, &out] { run_bitmaps(*volume, out); });
}

} // namespace orudisk
