// orudisk copy: a backup of a volume into a new raw or qcow2 file, either
// whole or, with --bitmap, only the clusters the library reports allocated,
// or, with --changed, only what a change-tracking bitmap marks, over the
// previous backup.
#include <oruDiskLib.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "allocation.h"
#include "cli_error.h"
#include "commands.h"
#include "transfer.h"
#include "volume_extents.h"
#include "volume_layout.h"
#include "write_behind.h"

namespace orudisk {

namespace {

constexpr int kLocalReaders = 2;

struct CopyArgs {
    VolumeOptions source;
    std::string target;
    std::string target_format = "raw";
    std::optional<uint64_t> cluster_size;
    std::string backing;
    bool bitmap = false;
    std::string changed; // change-tracking bitmap of an incremental backup
    bool force = false;
};

// Removes a file this command created unless the command got to the end.
class PartialFile {
  public:
    explicit PartialFile(std::string path) : path_(std::move(path)) {}
    ~PartialFile() {
        std::error_code ec;
        if (!kept_) std::filesystem::remove(path_, ec);
    }
    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;
    void keep() { kept_ = true; }

  private:
    std::string path_;
    bool kept_ = false;
};

// The source's extents for a full copy. None when the library cannot tell
// (an older library, a transport without an answer): then everything is
// read, as it always was.
std::optional<ExtentMap> source_extents(VolumeSession &source, uint64_t size, const Output &out) {
    try {
        return query_extents(source, size);
    } catch (const CliError &e) {
        if (!out.quiet && !out.json)
            std::cerr << "orudisk: " << e.what() << "; reading the whole volume\n";
        return std::nullopt;
    }
}

// A full copy reads only what may hold data. The source's zero extents
// read as zeros, which a new image without backing file holds already; over
// a backing file the target reads as the baseline, so the baseline's data is
// visited too, to be overwritten where the source now reads zeros. None when
// the baseline's extents are unknown.
std::optional<std::vector<Extent>> ranges_to_read(const ExtentMap &source, VolumeSession *baseline,
                                                  uint64_t size, const Output &out) {
    std::vector<Extent> ranges = data_ranges(source, size);
    if (!baseline) return ranges;
    try {
        // Past its end a backing file reads as zeros.
        ExtentMap base = query_extents(*baseline, size);
        return join_ranges(ranges, data_ranges(base, base.end));
    } catch (const CliError &e) {
        if (!out.quiet && !out.json)
            std::cerr << "orudisk: " << e.what() << "; reading the whole volume\n";
        return std::nullopt;
    }
}

void run_copy(CopyArgs args, const Output &out) {
    namespace fs = std::filesystem;
    validate(args.source);
    std::error_code ec;
    if (fs::exists(args.target, ec)) {
        if (!args.source.is_remote() && fs::equivalent(args.target, args.source.path, ec))
            throw CliError("the target is the source volume itself");
        if (!args.force) throw CliError(args.target + " exists; pass --force to replace it");
    }
    bool qcow2_target = args.target_format == "qcow2";
    if (!args.backing.empty() && !qcow2_target)
        throw CliError("--backing needs --target-format qcow2");
    // What a bitmap leaves out reads as the previous backup: without one the
    // unchanged data would be lost.
    if (!args.changed.empty() && args.backing.empty())
        throw CliError("--changed needs --backing, the previous backup it builds on");

    std::optional<ImageHeader> header = local_header(args.source);
    int format = choose_format(args.source, header);
    if (format == ORU_LUKS && qcow2_target)
        throw CliError::found(
            ORU_E_FORMAT, "a LUKS volume is copied into a raw file (its header region included)");
    VolumeSession source(args.source, format, ORU_RO);
    const oruDiskLibInfo source_facts = source.info();
    uint64_t size = volume_size(args.source, source);
    std::optional<ExtentMap> source_map;
    if (!args.changed.empty())
        source_map = query_changed_extents(source, args.changed, size);
    else if (!args.bitmap)
        source_map = source_extents(source, size, out);

    if (!args.backing.empty()) {
        args.backing = fs::absolute(args.backing).lexically_normal().string();
        // Creating the target would truncate the earlier backup it is meant
        // to stack on.
        if (fs::exists(args.target, ec) && fs::equivalent(args.target, args.backing, ec))
            throw CliError("the target is the --backing image itself");
    }
    // What the new image will read as before anything is written: an earlier
    // backup when stacked on one, zeros otherwise.
    std::unique_ptr<VolumeSession> baseline;
    if (!args.backing.empty() && args.changed.empty()) {
        VolumeOptions baseline_options;
        baseline_options.path = args.backing;
        baseline = std::make_unique<VolumeSession>(baseline_options,
                                                   read_image_header(args.backing).format, ORU_RO);
    }

    std::vector<Extent> extents;
    std::string bitmap_file;
    bool extents_known = false;
    if (args.bitmap) {
        AllocationMap map = query_allocation(source, true);
        if (!map.covers(size))
            throw CliError::found(map.error_code(), map.file + " does not cover the whole volume");
        extents = map.extents(size);
        bitmap_file = map.file;
    } else if (!args.changed.empty()) {
        extents = data_ranges(*source_map, size);
        extents_known = true;
    } else if (std::optional<std::vector<Extent>> ranges =
                   source_map ? ranges_to_read(*source_map, baseline.get(), size, out)
                              : std::nullopt) {
        extents = std::move(*ranges);
        extents_known = true;
    } else {
        extents = whole_volume(size);
    }

    // The target: a new image of the same size, written through the library.
    uint64_t cluster =
        args.cluster_size.value_or(source_facts.clusterSize ? source_facts.clusterSize : 65536);
    uint64_t target_bytes = size + (format == ORU_LUKS ? kLuksHeaderBytes : 0);
    oruError rc = oruDiskLib_Create(
        args.target.data(), args.backing.empty() ? nullptr : args.backing.data(),
        static_cast<uint32_t>(cluster), target_bytes, qcow2_target ? ORU_QCOW : ORU_RAW);
    if (rc != ORU_OK) throw creation_failed(args.target);
    // A copy that did not finish must not be mistaken for a backup.
    PartialFile partial(args.target);
    WriteBehind write_behind(args.target, format == ORU_LUKS ? kLuksHeaderBytes : 0);
    VolumeOptions target_options;
    target_options.path = args.target;
    int target_format = qcow2_target ? ORU_QCOW : (format == ORU_LUKS ? ORU_LUKS : ORU_RAW);
    VolumeSession target(target_options, target_format, ORU_RW);
    if (format == ORU_LUKS) {
        std::vector<unsigned char> region(kLuksHeaderBytes);
        source.read_luks_header(region.data());
        target.write_luks_header(region.data());
    }

    TransferPlan plan;
    plan.extents = extents;
    plan.size = size;
    // A new image without backing file reads as zeros: zeros need no
    // writing. A new image over an earlier backup reads as that backup: only
    // what differs from it is written, which makes the copy incremental.
    plan.skip_zero_blocks = args.backing.empty();
    plan.baseline = baseline.get();
    // Only the changed ranges are visited, each written whole: where one
    // now reads zeros, the previous backup's data must be hidden.
    plan.zero_blocks_by_zeroing = !args.changed.empty();
    if (qcow2_target) plan.block = cluster;
    if (source.remote()) plan.piece = kRemotePiece;
    plan.after_write = [&write_behind, qcow2_target](uint64_t offset, uint64_t length) {
        if (qcow2_target)
            write_behind.written_somewhere();
        else
            write_behind.written(offset, length);
    };
    // A local image serves overlapping reads quicker than one at a time; a
    // remote volume would need a login per handle.
    std::vector<std::unique_ptr<VolumeSession>> more_sources;
    if (!source.remote() && !baseline) {
        for (int i = 1; i < kLocalReaders; ++i) {
            more_sources.push_back(std::make_unique<VolumeSession>(args.source, format, ORU_RO));
            plan.more_sources.push_back(more_sources.back().get());
        }
    }
    Progress progress(out, "copy", total_bytes(extents));
    TransferStats stats = transfer(source, target, plan, progress);
    target.close();
    if (baseline) baseline->close();
    for (auto &session : more_sources)
        session->close();
    source.close();
    partial.keep();

    nlohmann::json doc = {{"command", "copy"},
                          {"source", args.source.describe()},
                          {"source_format", format_name(format)},
                          {"target", args.target},
                          {"target_format", args.target_format},
                          {"mode", args.bitmap             ? "bitmap"
                                   : !args.changed.empty() ? "changed"
                                                           : "full"},
                          {"virtual_size", size},
                          {"extents", stats.extents},
                          {"bytes_read", stats.bytes_read},
                          {"bytes_written", stats.bytes_written},
                          {"extents_known", extents_known},
                          {"seconds", stats.seconds}};
    doc["backing"] = args.backing.empty() ? nlohmann::json(nullptr) : nlohmann::json(args.backing);
    doc["bitmap_file"] =
        bitmap_file.empty() ? nlohmann::json(nullptr) : nlohmann::json(bitmap_file);
    doc["changed"] = args.changed.empty() ? nlohmann::json(nullptr) : nlohmann::json(args.changed);
    std::ostringstream text;
    text << "copied " << args.source.describe() << " to " << args.target << " ("
         << args.target_format << (args.backing.empty() ? "" : ", over " + args.backing) << "): "
         << (args.bitmap             ? "allocated clusters only, "
             : !args.changed.empty() ? "what bitmap " + args.changed + " marks changed (" +
                                           human_size(total_bytes(extents)) + "), "
             : extents_known ? "whole volume (" + human_size(size - total_bytes(extents)) +
                                   " known zeros skipped), "
                             : "whole volume, ")
         << human_size(stats.bytes_read) << " read, " << human_size(stats.bytes_written)
         << " written";
    if (stats.seconds > 0)
        text << " in " << static_cast<int>(stats.seconds * 1000) / 1000.0 << " s";
    text << "\n";
    emit(out, doc, text.str());
}

} // namespace

void add_copy_command(CLI::App &app, const Output &out) {
    auto args = std::make_shared<CopyArgs>();
    CLI::App *cmd = app.add_subcommand("copy", "Back up a volume into a new raw or qcow2 file");
    add_volume_options(*cmd, args->source, "Source volume");
    cmd->add_option("-o,--to", args->target, "File to create")->required()->group("Target");
    cmd->add_option("--target-format", args->target_format, "Format of the new file")
        ->check(CLI::IsMember({"raw", "qcow2"}))
        ->capture_default_str()
        ->group("Target");
    cmd->add_option("--cluster-size", args->cluster_size,
                    "Cluster size of a qcow2 target (default: the source's)")
        ->transform(CLI::AsSizeValue(false))
        ->group("Target");
    cmd->add_option("--backing", args->backing,
                    "Put a qcow2 target over this earlier backup (stored absolute)")
        ->group("Target");
    cmd->add_flag("--bitmap", args->bitmap,
                  "Copy only the clusters the library reports allocated (local volumes)");
    cmd->add_option("--changed", args->changed,
                    "Copy only what this change-tracking bitmap marks changed, over --backing")
        ->excludes("--bitmap");
    cmd->add_flag("--force", args->force, "Replace an existing target file")->group("Target");
    cmd->callback([args, &out] { run_copy(*args, out); });
}

} // namespace orudisk
