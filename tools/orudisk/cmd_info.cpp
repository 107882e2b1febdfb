// orudisk info: format, size, cluster size, backing chain and allocation of
// a volume.
#include <oruDiskLib.h>

#include <filesystem>
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

// One image of a backing chain: the library's facts (each image opened on
// its own, read-only), with the header's version and backing file name,
// which the library does not report.
nlohmann::json describe_backing(const ImageHeader &h, std::ostringstream &text) {
    VolumeOptions options;
    options.path = h.path;
    VolumeSession session(options, h.format, ORU_RO);
    oruDiskLibInfo facts = session.info();
    session.close();
    nlohmann::json doc = {{"path", h.path},
                          {"format", format_name(h.format)},
                          {"virtual_size", facts.capacity},
                          {"file_size", std::filesystem::file_size(h.path)}};
    if (h.format == ORU_QCOW) {
        doc["qcow2_version"] = h.qcow2_version;
        doc["cluster_size"] = facts.clusterSize;
    }
    if (!h.backing_name.empty()) doc["backing_file"] = h.backing_name;
    text << "backing file:  " << h.path << " (" << format_name(h.format) << ", " << human_size(facts.capacity)
         << ")\n";
    return doc;
}

void run_info(const InfoArgs &args, const Output &out) {
    validate(args.volume);
    std::optional<ImageHeader> header = local_header(args.volume);
    int format = choose_format(args.volume, header);
    VolumeSession session(args.volume, format, ORU_RO);
    const oruDiskLibInfo facts = session.info();
    uint64_t size = volume_size(args.volume, session);

    nlohmann::json doc = {{"command", "info"},
                          {"volume", args.volume.describe()},
                          {"remote", session.remote()},
                          {"format", format_name(static_cast<int>(facts.format))},
                          {"virtual_size", size},
                          {"min_block_size", facts.minBlockSize},
                          {"preferred_block_size", facts.preferredBlockSize},
                          {"max_request_bytes", facts.maxRequestBytes},
                          {"read_only", (facts.flags & ORU_INFO_READ_ONLY) != 0},
                          {"fast_zero", (facts.flags & ORU_INFO_FAST_ZERO) != 0},
                          {"extents", (facts.flags & ORU_INFO_EXTENTS) != 0}};
    std::ostringstream text;
    text << "volume:        " << args.volume.describe() << "\n"
         << "format:        " << format_name(static_cast<int>(facts.format)) << "\n"
         << "virtual size:  " << human_size(size) << " (" << size << " bytes)\n";
    if (header) {
        uint64_t file_size = std::filesystem::file_size(header->path);
        doc["file_size"] = file_size;
        text << "file size:     " << human_size(file_size) << "\n";
    }
    if (facts.clusterSize) {
        doc["cluster_size"] = facts.clusterSize;
        text << "cluster size:  " << facts.clusterSize << "\n";
    }
    text << "block sizes:   " << facts.minBlockSize << " minimum, " << facts.preferredBlockSize << " preferred, "
         << human_size(facts.maxRequestBytes) << " per request at most\n";
    if (format == ORU_QCOW && header && header->format == ORU_QCOW) {
        doc["qcow2_version"] = header->qcow2_version;
        text << "qcow2 version: " << header->qcow2_version << "\n";
        nlohmann::json chain = nlohmann::json::array();
        for (const ImageHeader &backing : backing_chain(*header)) chain.push_back(describe_backing(backing, text));
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
