// orudisk map: which byte ranges of a volume hold data and which read as
// zeros, as the library's extents query tells, local or remote alike.
#include <oruDiskLib.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "cli_error.h"
#include "commands.h"
#include "volume_extents.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

void run_map(const VolumeOptions &volume, const Output &out) {
    validate(volume);
    std::optional<ImageHeader> header = local_header(volume);
    int format = choose_format(volume, header);
    VolumeSession session(volume, format, ORU_RO);
    uint64_t size = volume_size(volume, session);
    ExtentMap map = query_extents(session, size);
    session.close();
    // A volume shorter than its stated size shows what it has; the rest was
    // never answered for, so it is not reported as either kind.
    uint64_t data = 0;
    for (const VolumeExtent &e : map.extents)
        if (!e.zero) data += e.length;

    // The shape of `qemu-img map --output=json`, so that the two compare.
    nlohmann::json doc = nlohmann::json::array();
    std::ostringstream text;
    char line[96];
    std::snprintf(line, sizeof line, "%20s %20s  %s\n", "start", "length", "kind");
    text << line;
    for (const VolumeExtent &e : map.extents) {
        doc.push_back(
            {{"start", e.offset}, {"length", e.length}, {"zero", e.zero}, {"data", !e.zero}});
        std::snprintf(line, sizeof line, "%20llu %20llu  %s\n",
                      static_cast<unsigned long long>(e.offset),
                      static_cast<unsigned long long>(e.length), e.zero ? "zero" : "data");
        text << line;
    }
    text << map.extents.size() << " extents: " << human_size(data) << " of data in "
         << human_size(size) << "\n";
    if (map.end < size)
        text << "the volume ends at byte " << map.end << ", before the " << size
             << " bytes expected\n";
    emit(out, doc, text.str());
}

} // namespace

void add_map_command(CLI::App &app, const Output &out) {
    auto volume = std::make_shared<VolumeOptions>();
    CLI::App *cmd = app.add_subcommand(
        "map", "List which byte ranges of a volume hold data and which read as zeros");
    add_volume_options(*cmd, *volume, "Volume");
    cmd->callback([volume, &out] { run_map(*volume, out); });
}

} // namespace orudisk
