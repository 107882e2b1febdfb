// Allocation bitmaps of raw images: the file system's extent map, reduced to
// one character per 256 KiB granule of the file.
#include "image/raw_bitmap.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/export.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

namespace {

const char kStatFailed[] = "get file information failed";
const char kNoMemory[] = "memory not enough";
const char kFiemapFailed[] = "get raw bitmap failed";
const char kWriteFailed[] = "create bitmap failed";

const char kHeader[] = "granularity:262144\nbitmap:";
constexpr unsigned kGranuleShift = 18; // 256 KiB
constexpr uint64_t kGranule = uint64_t{1} << kGranuleShift;
constexpr size_t kWriteBlock = 65536; // characters per write
// Extents fetched per ioctl at most, so that a badly fragmented file does not
// ask for one huge allocation; the walk goes on after the last one.
constexpr uint32_t kExtentsPerCall = 16384;

struct fiemap *fail(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
    return nullptr;
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using FiemapPtr = std::unique_ptr<struct fiemap, FreeDeleter>;

FiemapPtr new_fiemap(size_t extents) {
    size_t bytes = sizeof(struct fiemap) + extents * sizeof(struct fiemap_extent);
    return FiemapPtr(static_cast<struct fiemap *>(std::calloc(1, bytes)));
}

// File systems without an extent map answer these (tmpfs, for instance).
bool no_extent_map(int err) {
    return err == EOPNOTSUPP || err == ENOTTY || err == ENOSYS;
}

int fiemap_ioctl(int fd, struct fiemap *request) {
    int rc;
    do
        rc = ioctl(fd, FS_IOC_FIEMAP, request);
    while (rc != 0 && errno == EINTR);
    return rc;
}

enum class Walk { kDone, kFailed, kNoExtentMap };

Walk collect_fiemap(int fd, uint64_t length, std::vector<struct fiemap_extent> *out) {
    uint64_t start = 0;
    while (start < length) {
        struct fiemap probe;
        std::memset(&probe, 0, sizeof probe);
        probe.fm_start = start;
        probe.fm_length = length;
        probe.fm_flags = FIEMAP_FLAG_SYNC;
        if (fiemap_ioctl(fd, &probe) != 0)
            return no_extent_map(errno) && start == 0 ? Walk::kNoExtentMap : Walk::kFailed;
        if (probe.fm_mapped_extents == 0) break;
        const uint32_t wanted = std::min(probe.fm_mapped_extents, kExtentsPerCall);
        FiemapPtr request = new_fiemap(wanted);
        if (!request) throw std::bad_alloc();
        request->fm_start = start;
        request->fm_length = length;
        request->fm_flags = FIEMAP_FLAG_SYNC;
        request->fm_extent_count = wanted;
        if (fiemap_ioctl(fd, request.get()) != 0) return Walk::kFailed;
        const uint32_t got = std::min(request->fm_mapped_extents, wanted);
        if (got == 0) break; // the file shrank between the two questions
        out->insert(out->end(), request->fm_extents, request->fm_extents + got);
        const struct fiemap_extent &last = request->fm_extents[got - 1];
        if (last.fe_flags & FIEMAP_EXTENT_LAST) break;
        const uint64_t next = last.fe_logical + last.fe_length;
        if (next <= start) break; // no progress: never loop on the same answer
        start = next;
    }
    return Walk::kDone;
}

// The same answer from SEEK_DATA/SEEK_HOLE; the descriptor's file position is
// put back afterwards (the raw backend shares it).
bool collect_data_ranges(int fd, uint64_t length, std::vector<struct fiemap_extent> *out) {
    const off_t saved = lseek(fd, 0, SEEK_CUR);
    if (saved < 0) return false;
    bool ok = true;
    off_t position = 0;
    while (static_cast<uint64_t>(position) < length) {
        off_t data = lseek(fd, position, SEEK_DATA);
        if (data < 0) {
            ok = errno == ENXIO; // no data after position
            break;
        }
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0 || hole <= data) {
            ok = false;
            break;
        }
        struct fiemap_extent extent;
        std::memset(&extent, 0, sizeof extent);
        extent.fe_logical = static_cast<uint64_t>(data);
        extent.fe_length = static_cast<uint64_t>(hole - data);
        out->push_back(extent);
        position = hole;
    }
    if (!out->empty()) out->back().fe_flags |= FIEMAP_EXTENT_LAST;
    if (lseek(fd, saved, SEEK_SET) < 0) ok = false;
    return ok;
}

struct fiemap *read_extents(int fd, char **error) {
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(error, kStatFailed);
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    std::vector<struct fiemap_extent> extents;
    switch (collect_fiemap(fd, length, &extents)) {
    case Walk::kDone:
        break;
    case Walk::kFailed:
        return fail(error, kFiemapFailed);
    case Walk::kNoExtentMap:
        extents.clear();
        if (!collect_data_ranges(fd, length, &extents)) return fail(error, kFiemapFailed);
        break;
    }
    FiemapPtr result = new_fiemap(extents.size());
    if (!result) return fail(error, kNoMemory);
    if (!extents.empty())
        std::memcpy(result->fm_extents, extents.data(), extents.size() * sizeof extents[0]);
    result->fm_mapped_extents = static_cast<uint32_t>(extents.size());
    result->fm_extent_count = static_cast<uint32_t>(extents.size());
    result->fm_length = length;
    return result.release();
}

// Granules [first, last] touched by extents, clipped to the file's granules.
struct GranuleRun {
    uint64_t first;
    uint64_t last;
};

std::vector<GranuleRun> granule_runs(const struct fiemap *map, uint64_t granules) {
    std::vector<GranuleRun> runs;
    runs.reserve(map->fm_mapped_extents);
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
        const struct fiemap_extent &e = map->fm_extents[i];
        if (e.fe_length == 0) continue;
        uint64_t end;
        if (__builtin_add_overflow(e.fe_logical, e.fe_length, &end)) end = UINT64_MAX;
        const uint64_t first = e.fe_logical >> kGranuleShift;
        const uint64_t last = (end - 1) >> kGranuleShift;
        // Preallocation past the end of the file has no character to mark.
        if (first >= granules) continue;
        runs.push_back({first, std::min(last, granules - 1)});
    }
    std::sort(runs.begin(), runs.end(),
              [](const GranuleRun &a, const GranuleRun &b) { return a.first < b.first; });
    return runs;
}

int write_granules(int fd, const struct fiemap *map) {
    const uint64_t granules =
        (map->fm_length >> kGranuleShift) + ((map->fm_length & (kGranule - 1)) != 0);
    const std::vector<GranuleRun> runs = granule_runs(map, granules);
    std::vector<char> block(kWriteBlock);
    size_t open_run = 0; // runs before it end before the current block
    for (uint64_t begin = 0; begin < granules; begin += kWriteBlock) {
        const uint64_t end = std::min<uint64_t>(begin + kWriteBlock, granules);
        std::memset(block.data(), '0', end - begin);
        while (open_run < runs.size() && runs[open_run].last < begin)
            ++open_run;
        for (size_t i = open_run; i < runs.size() && runs[i].first < end; ++i) {
            if (runs[i].last < begin) continue;
            const uint64_t from = std::max(runs[i].first, begin);
            const uint64_t to = std::min(runs[i].last + 1, end);
            std::memset(block.data() + (from - begin), '1', to - from);
        }
        if (!oru::write_all(fd, block.data(), end - begin)) return -1;
    }
    return 0;
}

} // namespace

ORU_EXPORT struct fiemap *read_fiemap(int fd, char **error) {
    try {
        return read_extents(fd, error);
    } catch (const std::bad_alloc &) {
        return fail(error, kNoMemory);
    }
}

ORU_EXPORT int dump_fiemap(struct fiemap *fiemap, char *filename, char **error) {
    if (!fiemap || !filename) {
        if (error) *error = const_cast<char *>(kFiemapFailed);
        return -1;
    }
    try {
        const std::string path = std::string(filename) + ".b";
        oru::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) return -1;
        if (!oru::write_all(fd.get(), kHeader, sizeof kHeader - 1) ||
            write_granules(fd.get(), fiemap) != 0 || close(fd.release()) != 0) {
            if (error) *error = const_cast<char *>(kWriteFailed);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        if (error) *error = const_cast<char *>(kNoMemory);
        return -1;
    }
}
