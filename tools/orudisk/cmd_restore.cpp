// orudisk restore: writes the contents of an image file (a backup) into a
// volume, local or remote, driven by the image's extents: data is moved,
// zeros are zeroing requests, and what the volume reads as zeros already is
// left alone, so that a thin backup restores thin and quickly.
#include <oruDiskLib.h>

#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "allocation.h"
#include "cli_error.h"
#include "commands.h"
#include "transfer.h"
#include "volume_extents.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

struct RestoreArgs {
    std::string image;
    std::string image_format; // empty: detect
    VolumeOptions target;
    bool bitmap = false;
};

// Which bytes of the image the restore writes as data and which it zeroes.
struct RestorePlan {
    std::vector<Extent> data, zeroes;
    uint64_t zeros_in_place = 0; // zero ranges the target reads as zeros already
};

// The extents of a volume, or none with a note when the library cannot tell.
std::optional<ExtentMap> extents_or_none(VolumeSession &session, uint64_t size, const Output &out) {
    try {
        return query_extents(session, size);
    } catch (const CliError &e) {
        if (!out.quiet && !out.json) std::cerr << "orudisk: " << e.what() << "\n";
        return std::nullopt;
    }
}

// `wanted` (the whole image, or its allocated clusters with --bitmap) split
// by the image's extents: data is moved, zeros become zeroing requests,
// except where the target's own extents say it reads zeros already. Without
// the image's extents everything wanted is moved as data. Zeroing takes
// whole sectors inside the volume: a last sector that is only partly the
// image's goes as data.
RestorePlan plan_restore(VolumeSession &image, VolumeSession &target,
                         const std::vector<Extent> &wanted, uint64_t size, const Output &out) {
    RestorePlan plan;
    std::optional<ExtentMap> image_map = extents_or_none(image, size, out);
    if (!image_map) {
        plan.data = wanted;
        return plan;
    }
    const uint64_t whole_sectors = size / kSector * kSector;
    std::vector<Extent> image_zeroes =
        intersect_ranges(zero_ranges(*image_map), whole_volume(whole_sectors));
    plan.data = intersect_ranges(subtract_ranges(whole_volume(size), image_zeroes), wanted);
    std::vector<Extent> zeroes = intersect_ranges(image_zeroes, wanted);
    if (std::optional<ExtentMap> target_map = extents_or_none(target, size, out)) {
        std::vector<Extent> to_zero = subtract_ranges(zeroes, zero_ranges(*target_map));
        plan.zeros_in_place = total_bytes(zeroes) - total_bytes(to_zero);
        zeroes = std::move(to_zero);
    }
    plan.zeroes = std::move(zeroes);
    return plan;
}

void run_restore(const RestoreArgs &args, const Output &out) {
    validate(args.target);
    VolumeOptions image_options;
    image_options.path = args.image;
    image_options.format = args.image_format;
    int image_format = choose_format(image_options, local_header(image_options));
    VolumeSession image(image_options, image_format, ORU_RO);
    uint64_t size = volume_size(image_options, image);

    int target_format = choose_format(args.target, local_header(args.target));
    if ((image_format == ORU_LUKS) != (target_format == ORU_LUKS))
        throw CliError::found(
            ORU_E_FORMAT,
            "a LUKS backup restores into a LUKS volume only, and the other way round");
    // Durability comes from one flush at the end, as with qemu-img convert
    // and nbdcopy, rather than from every write waiting for the disk.
    VolumeSession target(args.target, target_format, ORU_RW | ORU_WRITEBACK);
    uint64_t target_size = volume_size(args.target, target);
    // Writes past the end of a volume are cut silently: refuse up front
    // rather than restore part of the data.
    if (target_size < size)
        throw CliError("the volume (" + std::to_string(target_size) +
                       " bytes) is smaller than the image (" + std::to_string(size) + " bytes)");

    std::vector<Extent> wanted = whole_volume(size);
    if (args.bitmap) {
        AllocationMap map = query_allocation(image, false);
        if (!map.covers(size))
            throw CliError::found(map.error_code(), map.file + " does not cover the whole image");
        wanted = map.extents(size);
    }
    RestorePlan restore = plan_restore(image, target, wanted, size, out);
    if (image_format == ORU_LUKS) {
        std::vector<unsigned char> region(kLuksHeaderBytes);
        image.read_luks_header(region.data());
        target.write_luks_header(region.data());
    }
    TransferPlan plan;
    plan.extents = restore.data;
    plan.zeroes = restore.zeroes;
    plan.size = size;
    plan.skip_zero_blocks = false; // the volume may hold old data anywhere
    plan.piece = kRestorePiece;
    // A local image serves overlapping reads quicker than one at a time.
    std::unique_ptr<VolumeSession> second_reader;
    if (!image.remote()) {
        second_reader = std::make_unique<VolumeSession>(image_options, image_format, ORU_RO);
        plan.more_sources.push_back(second_reader.get());
    }
    Progress progress(out, "restore", total_bytes(restore.data) + total_bytes(restore.zeroes));
    TransferStats stats = transfer(image, target, plan, progress);
    target.flush();
    target.close();
    if (second_reader) second_reader->close();
    image.close();

    nlohmann::json doc = {{"command", "restore"},
                          {"image", args.image},
                          {"image_format", format_name(image_format)},
                          {"volume", args.target.describe()},
                          {"volume_format", format_name(target_format)},
                          {"mode", args.bitmap ? "bitmap" : "full"},
                          {"virtual_size", size},
                          {"extents", stats.extents},
                          {"bytes_written", stats.bytes_written},
                          {"bytes_zeroed", stats.bytes_zeroed},
                          {"bytes_already_zero", restore.zeros_in_place},
                          {"seconds", stats.seconds}};
    std::ostringstream text;
    text << "restored " << args.image << " into " << args.target.describe() << ": "
         << (args.bitmap ? "allocated clusters only, " : "whole image, ")
         << human_size(stats.bytes_written) << " written, " << human_size(stats.bytes_zeroed)
         << " zeroed";
    if (restore.zeros_in_place)
        text << ", " << human_size(restore.zeros_in_place) << " read as zeros already";
    text << "\n";
    emit(out, doc, text.str());
}

} // namespace

void add_restore_command(CLI::App &app, const Output &out) {
    auto args = std::make_shared<RestoreArgs>();
    CLI::App *cmd = app.add_subcommand("restore", "Write an image file's contents into a volume");
    cmd->add_option("-i,--from", args->image, "Image file to restore from")
        ->required()
        ->check(CLI::ExistingFile)
        ->group("Image");
    cmd->add_option("--from-format", args->image_format, "Format of the image (default: detected)")
        ->check(CLI::IsMember({"qcow2", "raw", "luks"}))
        ->group("Image");
    cmd->add_flag("--bitmap", args->bitmap,
                  "Write only the image's allocated clusters (the volume keeps the rest)")
        ->group("Image");
    add_volume_options(*cmd, args->target, "Target volume");
    cmd->callback([args, &out] { run_restore(*args, out); });
}

} // namespace orudisk
