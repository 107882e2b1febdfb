// qemu's persistent dirty bitmaps in a qcow2 image: the bitmaps header
// extension, the bitmap directory, and the bitmap tables walked to tell
// changed guest bytes from unchanged ones; and the step every change of
// guest data takes first so that no bitmap goes stale.
//
// Layout (all big-endian):
//  - header extension 0x23852875, 24 bytes: nb_bitmaps (u32), reserved
//    (u32), bitmap_directory_size (u64), bitmap_directory_offset (u64);
//  - autoclear feature bit 0 of a version 3 header: the extension is
//    consistent. A writer that does not know bitmaps clears it, and then
//    nothing in the extension may be believed;
//  - directory entries: bitmap_table_offset (u64), bitmap_table_size (u32),
//    flags (u32: in_use 0, auto 1, extra_data_compatible 2), type (u8, 1 =
//    dirty tracking), granularity_bits (u8), name_size (u16),
//    extra_data_size (u32), extra data, name, zero padding to 8 bytes;
//  - bitmap table entries: bits 9..55 the offset of a data cluster, or 0
//    when the whole cluster of bits is zeros (bit 0 clear) or ones (bit 0
//    set); bits 1..8 and 56..63 reserved;
//  - bitmap data: bit i (bit i % 8 of byte i / 8, least significant first)
//    covers guest bytes [i << granularity_bits, (i + 1) << granularity_bits).
#include "image/qcow2_dirty_bitmap.h"

#include <unistd.h>

#include <algorithm>

#include "image/qcow2_internal.h"
#include "util/bounded_copy.h"
#include "util/file_io.h"

namespace oru::qcow2_engine {
namespace {

constexpr uint32_t kBitmapsExtension = 0x23852875;
constexpr uint32_t kEndOfExtensions = 0;
constexpr uint64_t kExtensionBytes = 24;
constexpr size_t kEntryHeaderBytes = 24;

// The format's limits, as qemu writes and accepts them.
constexpr uint32_t kMaxBitmaps = 65535;
constexpr uint64_t kMaxDirectoryBytes = 64ULL << 20;
constexpr uint32_t kMaxNameBytes = 1023;
constexpr uint32_t kMaxTableEntries = 0x8000000;
constexpr uint32_t kMinGranularityBits = 9;
constexpr uint32_t kMaxGranularityBits = 31;

constexpr uint32_t kFlagAuto = 2;
constexpr uint32_t kFlagExtraDataCompatible = 4;
constexpr uint32_t kKnownFlags = kBitmapFlagInUse | kFlagAuto | kFlagExtraDataCompatible;
constexpr uint8_t kTypeDirtyTracking = 1;

// Header fields.
constexpr size_t kHeaderBytes = kBitmapHeaderBytes;
constexpr size_t kBackingOffsetAt = 8;
constexpr size_t kHeaderLengthAt = 100;
constexpr size_t kVersion2HeaderBytes = 72;

constexpr char kExtensionCorrupt[] = "qcow header extensions are corrupted";
constexpr char kBitmapsCorrupt[] = "qcow bitmaps extension is corrupted";
constexpr char kDirectoryCorrupt[] = "qcow bitmap directory is corrupted";
constexpr char kDirectoryReadFailed[] = "read qcow bitmap directory failed";
constexpr char kNoBitmaps[] = "the qcow image holds no bitmaps";
constexpr char kNotFound[] = "the qcow image holds no bitmap of that name";
constexpr char kDropped[] =
    "qcow bitmaps are inconsistent: the image was written by a program that did not update them";
constexpr char kInUse[] = "qcow bitmap is inconsistent: it is in use by a writer of the image, "
                          "or was left so by one that did not close it";
constexpr char kNotDirtyTracking[] = "qcow bitmap is not a dirty-tracking bitmap";
constexpr char kGranularityUnsupported[] = "qcow bitmap granularity is not supported";
constexpr char kUnknownFlags[] = "qcow bitmap carries flags this library does not know";
constexpr char kExtraData[] = "qcow bitmap carries extra data this library does not know";
constexpr char kTableReadFailed[] = "read qcow bitmap table failed";
constexpr char kDataReadFailed[] = "read qcow bitmap data failed";

uint64_t round_up8(uint64_t n) {
    return (n + 7) & ~uint64_t{7};
}

// Bitmap table entries the disk needs at this granularity.
uint64_t table_entries_needed(uint64_t disk_size, uint32_t granularity_bits,
                              uint32_t cluster_bits) {
    const uint64_t bits = (disk_size >> granularity_bits) +
                          ((disk_size & ((uint64_t{1} << granularity_bits) - 1)) != 0);
    const uint32_t bits_per_cluster_shift = cluster_bits + 3;
    return (bits >> bits_per_cluster_shift) +
           ((bits & ((uint64_t{1} << bits_per_cluster_shift) - 1)) != 0);
}

// Why one directory entry cannot be used, or nullptr.
const char *check_entry(const DirtyBitmap &b, uint32_t flags, uint8_t type, uint32_t extra_bytes,
                        uint64_t disk_size, uint32_t cluster_bits, uint64_t file_size) {
    if (flags & kBitmapFlagInUse) return kInUse;
    if (flags & ~kKnownFlags) return kUnknownFlags;
    if (type != kTypeDirtyTracking) return kNotDirtyTracking;
    if (b.granularity_bits < kMinGranularityBits || b.granularity_bits > kMaxGranularityBits)
        return kGranularityUnsupported;
    if (extra_bytes != 0 && !(flags & kFlagExtraDataCompatible)) return kExtraData;
    const uint64_t cluster_size = uint64_t{1} << cluster_bits;
    const uint64_t table_bytes = uint64_t{b.table_size} * 8;
    if (b.table_size == 0 || b.table_size > kMaxTableEntries || b.table_offset == 0 ||
        (b.table_offset & (cluster_size - 1)) != 0 || b.table_offset > file_size ||
        table_bytes > file_size - b.table_offset)
        return kTableCorrupt;
    if (b.table_size < table_entries_needed(disk_size, b.granularity_bits, cluster_bits))
        return kTableCorrupt;
    return nullptr;
}

// The bitmaps extension's fields, when the header holds one.
struct Extension {
    bool present = false;
    uint32_t count = 0;
    uint64_t directory_bytes = 0;
    uint64_t directory_offset = 0;
};

// Walks the header extensions for the bitmaps one. nullptr on success.
const char *find_extension(qcow2 *q, const unsigned char *header, Extension *found) {
    const uint32_t version = be32tohp(header + kVersionAt);
    const uint64_t start =
        version >= 3 ? be32tohp(header + kHeaderLengthAt) : uint64_t{kVersion2HeaderBytes};
    // Extensions lie in the first cluster, before the backing file name.
    uint64_t end = q->cluster_size;
    const uint64_t backing = be64tohp(header + kBackingOffsetAt);
    if (backing != 0 && backing < end) end = backing;
    uint64_t pos = start;
    while (pos <= end && end - pos >= 8) {
        unsigned char head[8];
        if (pread_full(q->fd, head, sizeof head, pos) != static_cast<ssize_t>(sizeof head))
            return kHeaderFailed;
        const uint32_t type = be32tohp(head), length = be32tohp(head + 4);
        if (type == kEndOfExtensions) return nullptr;
        pos += 8;
        if (length > end - pos) return kExtensionCorrupt;
        if (type == kBitmapsExtension) {
            unsigned char body[kExtensionBytes];
            if (length != kExtensionBytes || found->present) return kBitmapsCorrupt;
            if (pread_full(q->fd, body, sizeof body, pos) != static_cast<ssize_t>(sizeof body))
                return kHeaderFailed;
            found->present = true;
            found->count = be32tohp(body);
            if (be32tohp(body + 4) != 0) return kBitmapsCorrupt; // reserved
            found->directory_bytes = be64tohp(body + 8);
            found->directory_offset = be64tohp(body + 16);
        }
        pos += round_up8(length);
    }
    return nullptr;
}

// Turns bit runs into byte runs for the receiver, joining neighbours of one
// kind so that it hears of each run once.
class RunEmitter {
  public:
    RunEmitter(oru_extent_fn fn, void *opaque, uint32_t granularity_bits, uint64_t from,
               uint64_t to)
        : fn_(fn), opaque_(opaque), shift_(granularity_bits), from_(from), to_(to) {}

    // Bits [first, end) are all `changed`. false once the receiver has enough.
    bool add(uint64_t first, uint64_t end, bool changed) {
        const uint64_t a = std::max(from_, bytes_of(first)), b = std::min(to_, bytes_of(end));
        if (a >= b) return !stopped_;
        if (length_ != 0 && changed == changed_ && start_ + length_ == a) {
            length_ += b - a;
            return !stopped_;
        }
        flush();
        start_ = a;
        length_ = b - a;
        changed_ = changed;
        return !stopped_;
    }

    void flush() {
        if (length_ == 0 || stopped_) return;
        stopped_ = fn_(opaque_, start_, length_, changed_ ? 0 : 1) != 0;
        length_ = 0;
    }

  private:
    uint64_t bytes_of(uint64_t bit) const {
        return bit > (UINT64_MAX >> shift_) ? UINT64_MAX : bit << shift_;
    }

    oru_extent_fn fn_;
    void *opaque_;
    const uint32_t shift_;
    const uint64_t from_, to_;
    uint64_t start_ = 0, length_ = 0;
    bool changed_ = false;
    bool stopped_ = false;
};

// One walk of a bitmap's table over a range of bits.
class TableWalk {
  public:
    TableWalk(qcow2 *q, const DirtyBitmap &bitmap, RunEmitter *out)
        : q_(q), bitmap_(bitmap), out_(out), bits_per_cluster_(uint64_t{q->cluster_size} * 8) {}

    // Bits [first, end). nullptr on success, else the failure text.
    const char *walk(uint64_t first, uint64_t end) {
        uint64_t bit = first;
        while (bit < end) {
            const uint64_t index = bit / bits_per_cluster_;
            const uint64_t cluster_first = index * bits_per_cluster_;
            const uint64_t stop = std::min(end, cluster_first + bits_per_cluster_);
            uint64_t entry = 0;
            if (const char *e = table_entry(index, &entry)) return e;
            if (entry & kTableReserved) return kTableCorrupt;
            const uint64_t data = entry & kTableOffsetMask;
            bool more;
            if (data == 0) {
                more = out_->add(bit, stop, (entry & kTableAllOnes) != 0);
            } else {
                const char *e = scan_data(data, bit - cluster_first, stop - cluster_first,
                                          cluster_first, &more);
                if (e) return e;
            }
            if (!more) return nullptr;
            bit = stop;
        }
        return nullptr;
    }

  private:
    static constexpr uint64_t kChunkEntries = 4096;

    const char *table_entry(uint64_t index, uint64_t *entry) {
        if (index >= bitmap_.table_size) return kTableCorrupt;
        const uint64_t chunk = index / kChunkEntries;
        if (chunk_.empty() || chunk != chunk_index_) {
            const uint64_t first = chunk * kChunkEntries;
            const uint64_t count = std::min<uint64_t>(kChunkEntries, bitmap_.table_size - first);
            chunk_.assign(count, 0);
            const ssize_t want = static_cast<ssize_t>(count * 8);
            if (pread_full(q_->fd, chunk_.data(), count * 8, bitmap_.table_offset + first * 8) !=
                want) {
                chunk_.clear();
                return kTableReadFailed;
            }
            chunk_index_ = chunk;
        }
        *entry = be64tohp(&chunk_[index % kChunkEntries]);
        return nullptr;
    }

    // Bits [lo, hi) of the data cluster at host offset `data`, whose bit 0
    // is bitmap bit `base`.
    const char *scan_data(uint64_t data, uint64_t lo, uint64_t hi, uint64_t base, bool *more) {
        if ((data & (q_->cluster_size - 1)) != 0 || data < q_->cluster_size ||
            !file_covers(q_, data, q_->cluster_size))
            return kTableCorrupt;
        // Whole 64-bit words around the bits asked for; the host is
        // little-endian, so bit k of word w is bitmap bit 64 * w + k.
        const uint64_t first_word = lo / 64, end_word = (hi + 63) / 64;
        words_.assign(end_word - first_word, 0);
        const size_t bytes = words_.size() * 8;
        if (pread_full(q_->fd, words_.data(), bytes, data + first_word * 8) !=
            static_cast<ssize_t>(bytes))
            return kDataReadFailed;
        auto word = [&](uint64_t i) { return words_[i / 64 - first_word]; };
        auto bit_at = [&](uint64_t i) { return ((word(i) >> (i % 64)) & 1) != 0; };
        uint64_t i = lo;
        *more = true;
        while (i < hi && *more) {
            const bool value = bit_at(i);
            const uint64_t same = value ? ~uint64_t{0} : 0;
            uint64_t j = i + 1;
            while (j < hi) {
                if (j % 64 == 0 && hi - j >= 64 && word(j) == same) {
                    j += 64;
                    continue;
                }
                if (bit_at(j) != value) break;
                ++j;
            }
            *more = out_->add(base + i, base + j, value);
            i = j;
        }
        return nullptr;
    }

    qcow2 *q_;
    const DirtyBitmap &bitmap_;
    RunEmitter *out_;
    const uint64_t bits_per_cluster_;
    std::vector<uint64_t> chunk_;
    uint64_t chunk_index_ = 0;
    std::vector<uint64_t> words_;
};

const char *find_bitmap(qcow2 *q, const char *name, BitmapDirectory *directory,
                        const DirtyBitmap **found) {
    if (const char *e = read_bitmap_directory(q, directory)) return e;
    if (!directory->present) return kNoBitmaps;
    auto it = std::find_if(directory->bitmaps.begin(), directory->bitmaps.end(),
                           [&](const DirtyBitmap &b) { return b.name == name; });
    if (it == directory->bitmaps.end()) return kNotFound;
    if (!directory->consistent) return kDropped;
    if (it->inconsistent) return it->inconsistent;
    *found = &*it;
    return nullptr;
}

int fail(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
    return -1;
}

} // namespace

const char *parse_bitmap_directory(const unsigned char *bytes, uint64_t size, uint32_t count,
                                   uint64_t disk_size, uint32_t cluster_bits, uint64_t file_size,
                                   std::vector<DirtyBitmap> *bitmaps) {
    bitmaps->clear();
    uint64_t pos = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - pos < kEntryHeaderBytes) return kDirectoryCorrupt;
        const unsigned char *e = bytes + pos;
        DirtyBitmap b;
        b.table_offset = be64tohp(e);
        b.table_size = be32tohp(e + 8);
        const uint32_t flags = be32tohp(e + 12);
        const uint8_t type = e[16];
        b.granularity_bits = e[17];
        const uint32_t name_bytes = (uint32_t{e[18]} << 8) | e[19];
        const uint32_t extra_bytes = be32tohp(e + 20);
        if (name_bytes == 0 || name_bytes > kMaxNameBytes) return kDirectoryCorrupt;
        const uint64_t entry_bytes =
            round_up8(uint64_t{kEntryHeaderBytes} + extra_bytes + name_bytes);
        if (entry_bytes > size - pos) return kDirectoryCorrupt;
        b.name.assign(reinterpret_cast<const char *>(e + kEntryHeaderBytes + extra_bytes),
                      name_bytes);
        b.flags = flags;
        b.entry_offset = pos;
        b.enabled = (flags & kFlagAuto) != 0;
        b.inconsistent =
            check_entry(b, flags, type, extra_bytes, disk_size, cluster_bits, file_size);
        bitmaps->push_back(std::move(b));
        pos += entry_bytes;
    }
    return nullptr;
}

const char *read_bitmap_directory(qcow2 *q, BitmapDirectory *directory) {
    *directory = BitmapDirectory{};
    unsigned char header[kHeaderBytes] = {};
    if (pread_full(q->fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return kHeaderFailed;
    Extension ext;
    if (const char *e = find_extension(q, header, &ext)) return e;
    if (!ext.present) return nullptr;
    directory->present = true;
    directory->consistent = be32tohp(header + kVersionAt) >= 3 &&
                            (be64tohp(header + kAutoclearAt) & kAutoclearBitmaps) != 0;
    const int64_t file_size = file_length(q);
    if (file_size < 0) return kDirectoryReadFailed;
    const uint64_t file_bytes = static_cast<uint64_t>(file_size);
    if (ext.count == 0 || ext.count > kMaxBitmaps || ext.directory_bytes == 0 ||
        ext.directory_bytes > kMaxDirectoryBytes || ext.directory_offset == 0 ||
        (ext.directory_offset & (q->cluster_size - 1)) != 0 || ext.directory_offset > file_bytes ||
        ext.directory_bytes > file_bytes - ext.directory_offset)
        return kBitmapsCorrupt;
    directory->offset = ext.directory_offset;
    std::vector<unsigned char> bytes(ext.directory_bytes);
    if (pread_full(q->fd, bytes.data(), bytes.size(), ext.directory_offset) !=
        static_cast<ssize_t>(bytes.size()))
        return kDirectoryReadFailed;
    return parse_bitmap_directory(bytes.data(), bytes.size(), ext.count, q->size, q->cluster_bits,
                                  file_bytes, &directory->bitmaps);
}

} // namespace oru::qcow2_engine

using namespace oru::qcow2_engine;

int qcow2_list_dirty_bitmaps(qcow2 *q, oruDiskLibBitmapInfo *bitmaps, uint32_t max, uint32_t *count,
                             char **error) {
    *count = 0;
    if (!q) return fail(error, kNoImage);
    try {
        BitmapDirectory directory;
        if (const char *e = read_bitmap_directory(q, &directory)) return fail(error, e);
        *count = static_cast<uint32_t>(directory.bitmaps.size());
        for (uint32_t i = 0; i < std::min(max, *count); ++i) {
            const DirtyBitmap &b = directory.bitmaps[i];
            oruDiskLibBitmapInfo info{};
            oru::bounded_copy(info.name, sizeof info.name, b.name.c_str());
            // Granularities this library cannot use are not told.
            if (b.granularity_bits <= 31) info.granularity = uint32_t{1} << b.granularity_bits;
            if (b.enabled) info.flags |= ORU_BITMAP_ENABLED;
            if (!directory.consistent || b.inconsistent) info.flags |= ORU_BITMAP_INCONSISTENT;
            bitmaps[i] = info;
        }
        return 0;
    } catch (...) {
        *count = 0;
        return fail(error, kNoMemory);
    }
}

int qcow2_dirty_extents(qcow2 *q, const char *name, uint64_t offset, uint64_t length,
                        oru_extent_fn fn, void *opaque, char **error) {
    if (!q) return fail(error, kNoImage);
    try {
        BitmapDirectory directory;
        const DirtyBitmap *bitmap = nullptr;
        if (const char *e = find_bitmap(q, name, &directory, &bitmap)) return fail(error, e);
        const uint64_t end = std::min(q->size, offset + std::min(length, UINT64_MAX - offset));
        if (offset >= end) return 0;
        const uint32_t shift = bitmap->granularity_bits;
        RunEmitter out(fn, opaque, shift, offset, end);
        TableWalk walk(q, *bitmap, &out);
        if (const char *e = walk.walk(offset >> shift, ((end - 1) >> shift) + 1))
            return fail(error, e);
        out.flush();
        return 0;
    } catch (...) {
        return fail(error, kNoMemory);
    }
}

bool qcow2_has_dirty_bitmaps(qcow2 *q) {
    if (!q) return false;
    try {
        unsigned char header[kHeaderBytes] = {};
        if (oru::pread_full(q->fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
            return false;
        Extension ext;
        return find_extension(q, header, &ext) == nullptr && ext.present;
    } catch (...) {
        return false;
    }
}
