// orudisk restore: writes the contents of an image file (a backup) into a
// volume, local or remote.
#include <oruDiskLib.h>

#include <memory>
#include <sstream>
#include <vector>

#include "allocation.h"
#include "cli_error.h"
#include "commands.h"
#include "transfer.h"
#include "volume_layout.h"

namespace orudisk {

namespace {

struct RestoreArgs {
    std::string image;
    std::string image_format; // empty: detect
    VolumeOptions target;
    bool bitmap = false;
};

void run_restore(const RestoreArgs &args, const Output &out) {
    validate(args.target);
    VolumeOptions image_options;
    image_options.path = args.image;
    image_options.format = args.image_format;
    std::optional<ImageHeader> image_header = local_header(image_options);
    int image_format = choose_format(image_options, image_header);
    VolumeSession image(image_options, image_format, ORU_RO);
    uint64_t size = addressable_size(image_options, image_format, image_header, image);

    std::optional<ImageHeader> target_header = local_header(args.target);
    int target_format = choose_format(args.target, target_header);
    if ((image_format == ORU_LUKS) != (target_format == ORU_LUKS))
        throw CliError::found(ORU_E_FORMAT, "a LUKS backup restores into a LUKS volume only, and the other way round");
    VolumeSession target(args.target, target_format, ORU_RW);
    uint64_t target_size = addressable_size(args.target, target_format, target_header, target);
    // Writes past the end of a volume are cut silently: refuse up front
    // rather than restore part of the data.
    if (target_size < size)
        throw CliError("the volume (" + std::to_string(target_size) + " bytes) is smaller than the image (" +
                       std::to_string(size) + " bytes)");

    std::vector<Extent> extents = whole_volume(size);
    if (args.bitmap) {
        AllocationMap map = query_allocation(image, false);
        if (!map.covers(size)) throw CliError::found(map.error_code(), map.file + " does not cover the whole image");
        extents = map.extents(size);
    }
    if (image_format == ORU_LUKS) {
        std::vector<unsigned char> region(kLuksHeaderBytes);
        image.read_luks_header(region.data());
        target.write_luks_header(region.data());
    }
    TransferPlan plan;
    plan.extents = extents;
    plan.size = size;
    plan.skip_zero_blocks = false; // the volume holds old data everywhere
    Progress progress(out, "restore", total_bytes(extents));
    TransferStats stats = transfer(image, target, plan, progress);
    target.close();
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
                          {"seconds", stats.seconds}};
    std::ostringstream text;
    text << "restored " << args.image << " into " << args.target.describe() << ": "
         << (args.bitmap ? "allocated clusters only, " : "whole image, ") << human_size(stats.bytes_written)
         << " written\n";
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
