// Persistent dirty bitmaps of a qcow2 image: the "bitmaps" header extension
// that qemu keeps (one bit per `granularity` guest bytes, set when the bytes
// changed since the bitmap was added or last cleared). Not to be confused
// with qcow2_bitmap.cpp, the library's own allocated-cluster ".b" files.
// C++ only, nothing exported.
//
// Everything here is read from the file each time it is asked: the bytes are
// untrusted, so every offset and size is checked against the file and the
// format's limits before it is used, and nothing is cached that a writer of
// the same file could make stale.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qcow2.h"

namespace oru::qcow2_engine {

// Directory entry flag: a writer has the bitmap open (its contents on disk
// may be behind).
inline constexpr uint32_t kBitmapFlagInUse = 1;
// Bitmap table entries: bits 9..55 the data cluster; without one, bit 0
// says all ones (set) or all zeros (clear). The other bits are reserved.
inline constexpr uint64_t kTableOffsetMask = 0x00FFFFFFFFFFFE00ULL;
inline constexpr uint64_t kTableAllOnes = 1;
inline constexpr uint64_t kTableReserved = ~(kTableOffsetMask | kTableAllOnes);
// Header fields: the version, the autoclear features (bit 0: the bitmaps
// extension is consistent), and as much of the header as bitmaps need.
inline constexpr size_t kAutoclearAt = 88;
inline constexpr uint64_t kAutoclearBitmaps = 1;
inline constexpr size_t kBitmapHeaderBytes = 104;
inline constexpr char kTableCorrupt[] = "qcow bitmap table is corrupted";

// One entry of the bitmap directory.
struct DirtyBitmap {
    std::string name;
    uint64_t table_offset = 0;
    uint32_t table_size = 0; // entries of the bitmap table
    uint32_t granularity_bits = 0;
    uint32_t flags = 0;
    uint64_t entry_offset = 0; // of the entry, in the directory
    bool enabled = false;      // "auto": qemu records new writes in it
    // Why the bitmap cannot be trusted (a constant text), or nullptr.
    const char *inconsistent = nullptr;
};

struct BitmapDirectory {
    bool present = false;    // the header holds a bitmaps extension
    bool consistent = false; // autoclear bit 0: the extension is up to date
    uint64_t offset = 0;     // of the directory in the file
    std::vector<DirtyBitmap> bitmaps;
};

// Reads the bitmaps extension and directory of the image q itself (never of
// its backing files: a bitmap describes the layer that holds it). An image
// without the extension answers present = false. nullptr on success, else
// the constant text of why the extension cannot be read.
const char *read_bitmap_directory(qcow2 *q, BitmapDirectory *directory);

// Parses `size` bytes of a bitmap directory that should hold `count`
// entries, for an image of `disk_size` guest bytes with clusters of
// 1 << cluster_bits bytes whose file is `file_size` bytes long. nullptr on
// success, else the refusal text.
const char *parse_bitmap_directory(const unsigned char *bytes, uint64_t size, uint32_t count,
                                   uint64_t disk_size, uint32_t cluster_bits, uint64_t file_size,
                                   std::vector<DirtyBitmap> *bitmaps);

} // namespace oru::qcow2_engine

extern "C" {

// Lists the bitmaps of q into bitmaps[0 .. min(max, count)), the count in
// *count. 0, or -1 with *error set.
int qcow2_list_dirty_bitmaps(qcow2 *q, oruDiskLibBitmapInfo *bitmaps, uint32_t max, uint32_t *count,
                             char **error);

// Describes guest bytes [offset, offset + length), cut at the virtual size,
// as the bitmap `name` marks them: runs with zero = 1 for unchanged bytes and
// 0 for changed ones. Unknown names and bitmaps that cannot be trusted fail.
// 0, or -1 with *error set.
int qcow2_dirty_extents(qcow2 *q, const char *name, uint64_t offset, uint64_t length,
                        oru_extent_fn fn, void *opaque, char **error);

// True when the image's header holds a bitmaps extension (consistent or not).
bool qcow2_has_dirty_bitmaps(qcow2 *q);

// Called before any change of the guest bytes [offset, offset + length) of a
// writable image, by every path that changes them (writes, zeroing), so that
// no bitmap ever misses a change. The first call marks every enabled bitmap
// in use (durably), as qemu does while it has an image open for writing;
// each call then sets the bits of the range in every enabled bitmap,
// allocating bitmap clusters as needed. When that cannot be done (a bitmap
// this library cannot keep, a failed bitmap update) it durably clears the
// header's autoclear bits instead, so that qemu drops the bitmaps rather
// than trust them. 0, or -1 with *error set: then nothing may be changed.
int qcow2_prepare_change(qcow2 *q, uint64_t offset, uint64_t length, char **error);

// Called by qcow2_close once the image's data is on stable storage: clears
// the in-use flags the first change set, and syncs. A failure leaves them
// set, which qemu and this library read as "inconsistent": safe.
void qcow2_end_changes(qcow2 *q);

// Frees what qcow2_prepare_change kept in q (qcow2_close, failed opens).
void qcow2_release_dirty_state(qcow2 *q);

} // extern "C"
