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

std::optional<uint64_t> stated_size(const VolumeOptions &options, int format,
                                    const std::optional<ImageHeader> &header) {
    if (options.size) return *options.size;
    if (!header) return std::nullopt;
    if (format == ORU_QCOW) return header->virtual_size;
    if (format == ORU_LUKS)
        return header->file_size > kLuksHeaderBytes ? header->file_size - kLuksHeaderBytes : 0;
    return header->file_size;
}

uint64_t addressable_size(const VolumeOptions &options, int format,
                          const std::optional<ImageHeader> &header, VolumeSession &session) {
    std::optional<uint64_t> size = stated_size(options, format, header);
    return size ? *size : session.probe_size();
}

} // namespace orudisk
