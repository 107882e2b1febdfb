// orudisk create: a new, empty qcow2 or raw image.
#include <oruDiskLib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli_error.h"
#include "commands.h"
#include "image_header.h"
#include "volume_session.h"

namespace orudisk {

namespace {

struct CreateArgs {
    std::string path;
    std::string format = "qcow2";
    std::optional<uint64_t> size;
    uint64_t cluster_size = 64 * 1024;
    std::string backing;
    bool force = false;
};

bool supported_cluster_size(uint64_t size) {
    return size >= (64u << 10) && size <= (2u << 20) && (size & (size - 1)) == 0;
}

void run_create(CreateArgs args, const Output &out) {
    namespace fs = std::filesystem;
    bool qcow2 = args.format == "qcow2";
    std::error_code ec;
    if (!args.force && fs::exists(args.path, ec))
        throw CliError(args.path + " exists; pass --force to replace it");
    if (!args.backing.empty()) {
        if (!qcow2) throw CliError("only qcow2 images have a backing file");
        // Stored absolute: every reader then finds the same file, whatever
        // its working directory.
        args.backing = fs::absolute(args.backing).lexically_normal().string();
        if (!args.size) {
            VolumeOptions base_options;
            base_options.path = args.backing;
            VolumeSession base(base_options, read_image_header(args.backing).format, ORU_RO);
            args.size = base.info().capacity;
            base.close();
        }
    }
    if (!args.size) throw CliError("pass --size (or --backing to take the backing image's size)");
    if (qcow2 && !supported_cluster_size(args.cluster_size))
        throw CliError("cluster size must be a power of two from 64 KiB to 2 MiB");
    if (!qcow2 && *args.size > static_cast<uint64_t>(INT64_MAX)) throw CliError("size too large");

    oruError rc = oruDiskLib_Create(args.path.data(), args.backing.empty() ? nullptr : args.backing.data(),
                                    static_cast<uint32_t>(args.cluster_size), *args.size,
                                    qcow2 ? ORU_QCOW : ORU_RAW);
    if (rc != ORU_OK) throw creation_failed(args.path);

    nlohmann::json doc = {{"command", "create"},
                          {"path", args.path},
                          {"format", args.format},
                          {"virtual_size", *args.size}};
    std::string text = "created " + args.format + " image " + args.path + ", " + human_size(*args.size);
    if (qcow2) {
        doc["cluster_size"] = args.cluster_size;
        text += ", clusters of " + human_size(args.cluster_size);
    }
    doc["backing"] = args.backing.empty() ? nlohmann::json(nullptr) : nlohmann::json(args.backing);
    if (!args.backing.empty()) text += ", backing file " + args.backing;
    emit(out, doc, text + "\n");
}

} // namespace

void add_create_command(CLI::App &app, const Output &out) {
    auto args = std::make_shared<CreateArgs>();
    CLI::App *cmd = app.add_subcommand("create", "Create an empty qcow2 or raw image");
    cmd->add_option("path", args->path, "Image file to create")->required();
    cmd->add_option("-s,--size", args->size, "Virtual size (for example 10G)")
        ->transform(CLI::AsSizeValue(false));
    cmd->add_option("-f,--format", args->format, "Image format")
        ->check(CLI::IsMember({"qcow2", "raw"}))
        ->capture_default_str();
    cmd->add_option("-c,--cluster-size", args->cluster_size, "qcow2 cluster size, 64K to 2M")
        ->transform(CLI::AsSizeValue(false))
        ->capture_default_str();
    cmd->add_option("-b,--backing", args->backing, "Backing image of a qcow2 overlay (stored absolute)");
    cmd->add_flag("--force", args->force, "Replace an existing file");
    cmd->callback([args, &out] { run_create(*args, out); });
}

} // namespace orudisk
