#include "bitmap_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "cli_error.h"

namespace orudisk {

namespace {

const char kQcowSize[] = "size is :";
const char kQcowCluster[] = "cluster_size is :";
const char kQcowBits[] = "bitmaps:";
const char kRawGranularity[] = "granularity:";
const char kRawBits[] = "bitmap:";

// Reads "<label><decimal>\n" at pos; advances pos past the line end.
uint64_t number_after(const std::string &text, size_t &pos, const std::string &label,
                      const std::string &file, oruError code) {
    if (text.compare(pos, label.size(), label) != 0)
        throw CliError::found(code, file + ": not a bitmap file (expected '" + label + "')");
    pos += label.size();
    size_t end = text.find('\n', pos);
    if (end == std::string::npos || end == pos) throw CliError::found(code, file + ": truncated bitmap header");
    uint64_t value = 0;
    for (size_t i = pos; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') throw CliError::found(code, file + ": bad number in bitmap header");
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    pos = end + 1;
    return value;
}

void expect(const std::string &text, size_t &pos, const std::string &label, const std::string &file,
            oruError code) {
    if (text.compare(pos, label.size(), label) != 0)
        throw CliError::found(code, file + ": not a bitmap file (expected '" + label + "')");
    pos += label.size();
}

} // namespace

std::string bitmap_path_for(const std::string &image_path) { return image_path + ".b"; }

uint64_t AllocationMap::allocated_count() const {
    return static_cast<uint64_t>(std::count(allocated.begin(), allocated.end(), true));
}

std::vector<Extent> AllocationMap::extents(uint64_t size) const {
    std::vector<Extent> runs;
    for (size_t i = 0; i < allocated.size();) {
        if (!allocated[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < allocated.size() && allocated[j]) ++j;
        uint64_t start = i * granularity;
        uint64_t end = std::min<uint64_t>(j * granularity, size);
        if (start < end) runs.push_back({start, end - start});
        i = j;
    }
    return runs;
}

AllocationMap parse_bitmap_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw cannot_open(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    AllocationMap map;
    map.file = path;
    size_t pos = 0;
    const bool raw = text.rfind(kRawGranularity, 0) == 0;
    const oruError code = raw ? ORU_E_RAW_BITMAP : ORU_E_QCOW_BITMAP;
    if (raw) {
        map.granularity = number_after(text, pos, kRawGranularity, path, code);
        expect(text, pos, kRawBits, path, code);
    } else {
        map.virtual_size = number_after(text, pos, kQcowSize, path, code);
        map.granularity = number_after(text, pos, kQcowCluster, path, code);
        expect(text, pos, kQcowBits, path, code);
    }
    if (map.granularity == 0 || map.granularity % 512 != 0)
        throw CliError::found(code, path + ": bitmap granularity " + std::to_string(map.granularity) + " is not usable");
    map.allocated.reserve(text.size() - pos);
    for (size_t i = pos; i < text.size(); ++i) {
        if (text[i] != '0' && text[i] != '1') throw CliError::found(code, path + ": bitmap holds a character other than 0 and 1");
        map.allocated.push_back(text[i] == '1');
    }
    if (map.virtual_size != 0) {
        uint64_t expected = (map.virtual_size + map.granularity - 1) / map.granularity;
        if (map.allocated.size() != expected)
            throw CliError::found(code, path + ": bitmap has " + std::to_string(map.allocated.size()) +
                           " clusters, the disk " + std::to_string(expected));
    }
    return map;
}

} // namespace orudisk
