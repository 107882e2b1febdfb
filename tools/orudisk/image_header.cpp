#include "image_header.h"

#include <oruDiskLib.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "cli_error.h"

namespace orudisk {

namespace {

constexpr unsigned char kQcow2Magic[4] = {'Q', 'F', 'I', 0xfb};
constexpr size_t kHeaderBytes = 104;
constexpr uint32_t kMaxBackingName = 1023;
constexpr size_t kMaxChain = 64;

uint64_t be(const unsigned char *p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | p[i];
    return v;
}

// A relative backing name is taken from the directory of the image that
// names it, as qemu does; a name that exists only relative to the working
// directory is still found.
std::string resolve_backing(const std::string &image, const std::string &name) {
    namespace fs = std::filesystem;
    fs::path p(name);
    if (p.is_absolute()) return name;
    fs::path beside = fs::path(image).parent_path() / p;
    std::error_code ec;
    if (fs::exists(beside, ec)) return beside.lexically_normal().string();
    return name;
}

} // namespace

ImageHeader read_image_header(const std::string &path) {
    // A directory opens as a stream of no bytes that claims the largest size.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw CliError::from_os("cannot open " + path, EISDIR);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw cannot_open(path);
    ImageHeader h;
    h.path = path;
    in.seekg(0, std::ios::end);
    const uint64_t file_size = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    unsigned char header[kHeaderBytes] = {};
    in.read(reinterpret_cast<char *>(header), sizeof header);
    size_t got = static_cast<size_t>(in.gcount());
    if (got < 72 || !std::equal(kQcow2Magic, kQcow2Magic + 4, header)) {
        h.format = ORU_RAW;
        return h;
    }
    h.format = ORU_QCOW;
    h.qcow2_version = static_cast<uint32_t>(be(header + 4, 4));
    uint64_t backing_offset = be(header + 8, 8);
    uint32_t backing_size = static_cast<uint32_t>(be(header + 16, 4));
    if (backing_offset != 0 && backing_size != 0) {
        if (backing_size > kMaxBackingName || backing_offset >= file_size)
            throw CliError::found(ORU_E_QCOW_OPEN,
                                  path + ": qcow2 header has an unreadable backing file name");
        h.backing_name.resize(backing_size);
        in.clear();
        in.seekg(static_cast<std::streamoff>(backing_offset));
        in.read(h.backing_name.data(), backing_size);
        if (static_cast<uint32_t>(in.gcount()) != backing_size)
            throw CliError::found(ORU_E_QCOW_OPEN,
                                  path + ": backing file name runs past the end of the file");
        h.backing_path = resolve_backing(path, h.backing_name);
    }
    return h;
}

std::vector<ImageHeader> backing_chain(const ImageHeader &top) {
    std::vector<ImageHeader> chain;
    std::set<std::string> seen;
    std::error_code ec;
    seen.insert(std::filesystem::weakly_canonical(top.path, ec).string());
    std::string next = top.backing_path;
    while (!next.empty()) {
        std::string key = std::filesystem::weakly_canonical(next, ec).string();
        if (!seen.insert(key).second || chain.size() >= kMaxChain)
            throw CliError::found(ORU_E_QCOW_OPEN,
                                  top.path + ": the backing chain loops or is too deep");
        chain.push_back(read_image_header(next));
        next = chain.back().backing_path;
    }
    return chain;
}

} // namespace orudisk
