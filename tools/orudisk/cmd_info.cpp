// orudisk info: format, size, cluster size, backing chain and allocation of
// a volume.
#include <oruDiskLib.h>

#include <memory>
#include <sstream>

#include "allocation.h"
#include "cli_error.h"
#include "commands.h"
#include "image_header.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

struct InfoArgs {
    VolumeOptions volume;
    bool allocation = true;
};

nlohmann::json describe_image(const ImageHeader &h) {
    nlohmann::json doc = {{"path", h.path}, {"format", format_name(h.format)}, {"virtual_size", h.virtual_size},
                          {"file_size", h.file_size}};
    if (h.format == ORU_QCOW) {
        doc["qcow2_version"] = h.qcow2_version;
        doc["cluster_size"] = h.cluster_size;
    }
    if (!h.backing_name.empty()) doc["backing_file"] = h.backing_name;
    return doc;
}

void run_info(const InfoArgs &args, const Output &out) {
    validate(args.volume);
    std::optional<ImageHeader> header = local_header(args.volume);
    int format = choose_format(args.volume, header);
    VolumeSession session(args.volume, format, ORU_RO);
    uint64_t size = addressable_size(args.volume, format, header, session);

    nlohmann::json doc = {{"command", "info"},
                          {"volume", args.volume.describe()},
                          {"remote", session.remote()},
                          {"format", format_name(format)},
                          {"virtual_size", size}};
    std::ostringstream text;
    text << "volume:        " << args.volume.describe() << "\n"
         << "format:        " << format_name(format) << "\n"
         << "virtual size:  " << human_size(size) << " (" << size << " bytes)\n";
    if (header) {
        doc["file_size"] = header->file_size;
        text << "file size:     " << human_size(header->file_size) << "\n";
    }
    if (header && header->format == ORU_QCOW) {
        doc["cluster_size"] = header->cluster_size;
        doc["qcow2_version"] = header->qcow2_version;
        text << "cluster size:  " << header->cluster_size << "\n"
             << "qcow2 version: " << header->qcow2_version << "\n";
        nlohmann::json chain = nlohmann::json::array();
        for (const ImageHeader &backing : backing_chain(*header)) {
            chain.push_back(describe_image(backing));
            text << "backing file:  " << backing.path << " (" << format_name(backing.format) << ", "
                 << human_size(backing.virtual_size) << ")\n";
        }
        doc["backing_chain"] = chain;
    }
    if (args.allocation && !session.remote()) {
        AllocationMap map = query_allocation(session, false);
        uint64_t granules = map.allocated.size(), used = map.allocated_count();
        double share = granules ? static_cast<double>(used) / static_cast<double>(granules) : 0.0;
        doc["allocation"] = {{"granularity", map.granularity},
                             {"granules", granules},
                             {"allocated", used},
                             {"share", share}};
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.1f%%", 100.0 * share);
        text << "allocated:     " << percent << " (" << used << " of " << granules << " granules of "
             << human_size(map.granularity) << (format == ORU_QCOW ? ", whole backing chain" : "")
             << ")\n";
    }
    session.close();
    emit(out, doc, text.str());
}

} // namespace

void add_info_command(CLI::App &app, const Output &out) {
    auto args = std::make_shared<InfoArgs>();
    CLI::App *cmd = app.add_subcommand("info", "Show a volume's format, size, backing chain and allocation");
    add_volume_options(*cmd, args->volume, "Volume");
    cmd->add_flag("!--no-allocation", args->allocation, "Skip the allocation query");
    cmd->callback([args, &out] { run_info(*args, out); });
}

} // namespace orudisk
