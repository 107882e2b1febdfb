// orudisk map: which byte ranges of a volume hold data and which read as
// zeros, as the library's extents query tells, local or remote alike; with
// --changed, which ones a change-tracking bitmap marks changed.
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

void run_map(const VolumeOptions &volume, const std::string &changed, const Output &out) {
    validate(volume);
    std::optional<ImageHeader> header = local_header(volume);
    int format = choose_format(volume, header);
    VolumeSession session(volume, format, ORU_RO);
    uint64_t size = volume_size(volume, session);
    ExtentMap map = changed.empty() ? query_extents(session, size)
                                    : query_changed_extents(session, changed, size);
    session.close();
    // A volume shorter than its stated size shows what it has; the rest was
    // never answered for, so it is not reported as either kind.
    uint64_t data = 0;
    for (const VolumeExtent &e : map.extents)
        if (!e.zero) data += e.length;

    // The shape of `qemu-img map --output=json`, so that the two compare;
    // with --changed, "dirty" like nbdinfo's bitmap maps.
    const char *marked = changed.empty() ? "data" : "changed";
    const char *blank = changed.empty() ? "zero" : "unchanged";
    nlohmann::json doc = nlohmann::json::array();
    std::ostringstream text;
    char line[96];
    std::snprintf(line, sizeof line, "%20s %20s  %s\n", "start", "length", "kind");
    text << line;
    for (const VolumeExtent &e : map.extents) {
        if (changed.empty())
            doc.push_back(
                {{"start", e.offset}, {"length", e.length}, {"zero", e.zero}, {"data", !e.zero}});
        else
            doc.push_back({{"start", e.offset}, {"length", e.length}, {"dirty", !e.zero}});
        std::snprintf(line, sizeof line, "%20llu %20llu  %s\n",
                      static_cast<unsigned long long>(e.offset),
                      static_cast<unsigned long long>(e.length), e.zero ? blank : marked);
        text << line;
    }
    text << map.extents.size() << " extents: " << human_size(data) << " "
         << (changed.empty() ? "of data" : "changed") << " in " << human_size(size) << "\n";
    if (map.end < size)
        text << "the volume ends at byte " << map.end << ", before the " << size
             << " bytes expected\n";
    emit(out, doc, text.str());
}

} // namespace

void add_map_command(CLI::App &app, const Output &out) {
    auto volume = std::make_shared<VolumeOptions>();
    auto changed = std::make_shared<std::string>();
    CLI::App *cmd = app.add_subcommand(
        "map", "List which byte ranges of a volume hold data and which read as zeros");
    add_volume_options(*cmd, *volume, "Volume");
    cmd->add_option("--changed", *changed,
                    "List instead which ranges this change-tracking bitmap marks changed");
    cmd->callback([volume, changed, &out] { run_map(*volume, *changed, out); });
}

} // namespace orudisk
