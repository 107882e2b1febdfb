#include "allocation.h"

#include <filesystem>

#include "cli_error.h"

namespace orudisk {

AllocationMap query_allocation(VolumeSession &session, bool keep_file) {
    if (session.remote()) throw CliError::found(ORU_E_NOT_SUPPORTED, "allocation bitmaps exist for local volumes only");
    std::string file = bitmap_path_for(session.path());
    std::error_code ec;
    bool existed = std::filesystem::exists(file, ec);
    session.query_allocation();
    AllocationMap map;
    try {
        map = parse_bitmap_file(file);
    } catch (...) {
        if (!keep_file && !existed) std::filesystem::remove(file, ec);
        throw;
    }
    if (!keep_file && !existed) std::filesystem::remove(file, ec);
    return map;
}

} // namespace orudisk
