#include "volume_layout.h"

#include <oruDiskLib.h>

#include "cli_error.h"

namespace orudisk {

std::optional<ImageHeader> local_header(const VolumeOptions &options) {
    if (options.is_remote()) return std::nullopt;
    return read_image_header(options.path);
}

int choose_format(const VolumeOptions &options, const std::optional<ImageHeader> &header) {
    if (!options.format.empty()) {
        int format = format_code(options.format);
        if (header && format == ORU_QCOW && header->format != ORU_QCOW)
            throw CliError::found(ORU_E_FORMAT, header->path + " is not a qcow2 image");
        return format;
    }
    if (!header) throw CliError("the volume's format is unknown: pass --format");
    return header->format;
}

uint64_t volume_size(const VolumeOptions &options, VolumeSession &session) {
    const uint64_t capacity = session.info().capacity;
    if (!options.size) return capacity;
    if (*options.size > capacity)
        throw CliError("--size " + std::to_string(*options.size) + " is past the end of " + session.name() + " (" +
                       std::to_string(capacity) + " bytes)");
    return *options.size;
}

} // namespace orudisk
