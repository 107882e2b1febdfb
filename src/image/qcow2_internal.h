// Helpers of the qcow2 engine shared by its open/read, write and bitmap code.
// Nothing here is exported from the library; C++ only.
//
// Tables mapped past the end of the file
// --------------------------------------
// qcow2_open maps the whole L1 table and the whole refcount table, whatever
// the file length. A freshly created image ends a few bytes into its L1
// table, so most of that mapping lies past the end of the file, and touching
// a page that lies wholly past the end raises SIGBUS. Bytes past the end in
// the last, partly filled page read as zero, but stores into them are not
// kept in the file.
//
// Therefore:
//  - Never index q->l1_table or q->refcount_table directly to READ an entry:
//    use l1_entry() / refcount_table_entry(). An entry that lies past the end
//    of the file (or past the table) reads as 0, i.e. "not allocated".
//  - To STORE an entry, first grow the file over it (add_cluster(), as the
//    allocation path does anyway: a new cluster always lands after the
//    tables), then use store_l1_entry() / store_refcount_table_entry(). They
//    check that the file now covers the entry and refuse (-1) otherwise, so a
//    store can never be silently lost. (A pwrite at the entry's file offset
//    after file_covers() is equally good: the mappings are shared views of
//    the file.) The same mapping serves before and after the growth: there
//    is nothing to remap.
//  - L2 tables and refcount blocks are whole clusters; load_cluster() (and
//    any read-write mapping a writer makes) must only map clusters that the
//    file covers; load_cluster() refuses others.
//
// The file never shrinks while a record is open (the engine only adds
// clusters, and add_cluster() refuses to shrink), so q->file_size_seen is a
// lower bound of the current length: past it, the helpers ask the system
// again before deciding that an entry lies past the end.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "qcow2.h"
#include "util/bounded_copy.h"

namespace oru::qcow2_engine {

// Bits 9..55 of L1, L2 and refcount-table entries: a host byte offset.
inline constexpr uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ULL;
// L1 / L2 entry flags.
inline constexpr uint64_t kFlagCopied = 1ULL << 63;     // standard cluster, refcount 1
inline constexpr uint64_t kFlagCompressed = 1ULL << 62; // compressed cluster descriptor
inline constexpr uint64_t kFlagZero = 1ULL;             // reads as zeros (version 3)

// Cluster sizes the engine accepts: 512 B .. 2 MiB (and at least a page).
inline constexpr uint32_t kMinClusterBits = 9;
inline constexpr uint32_t kMaxClusterBits = 21;

// Longest backing chain followed below an image. A chain that names itself
// (directly or further down) would otherwise recurse until the stack is gone.
inline constexpr int kMaxBackingDepth = 64;

// Header field offsets the engine reads outside qcow2_open.
inline constexpr size_t kVersionAt = 4;

// Error texts more than one entry point reports. Callers may match on them,
// so one spelling serves every path that fails the same way.
inline constexpr char kNoImage[] = "qcow handle can't be NULL";
inline constexpr char kNoMemory[] = "memory not enough";
inline constexpr char kReadOnly[] = "qcow image is opened read-only";
inline constexpr char kHeaderFailed[] = "read qcow header failed";
inline constexpr char kLoadL2Failed[] = "load l2_table failed";
inline constexpr char kBeyondL1[] = "write lies beyond the qcow L1 table";
inline constexpr char kL2Misaligned[] = "qcow L2 table offset is not cluster aligned";
inline constexpr char kL1StoreFailed[] = "update L1 table failed";
inline constexpr char kL2EntryCorrupt[] = "qcow L2 entry points at the header";
inline constexpr char kBackingFailed[] = "read backing file failed";

// The engine's error texts are static: *error points at one, never owned.
inline void set_error(char **error, const char *text) {
    if (error) *error = const_cast<char *>(text);
}

// The text of the current errno, kept in q->err so that it outlives the call
// like the static texts do.
inline const char *system_error_text(qcow2 *q) {
    const int code = errno;
    char text[sizeof q->err];
    std::memset(q->err, 0, sizeof q->err);
    oru::bounded_copy(q->err, sizeof q->err, strerror_r(code, text, sizeof text));
    return q->err;
}

// Guest address arithmetic.
inline uint64_t l1_index(const qcow2 *q, uint64_t guest_offset) {
    return guest_offset >> q->l1_shift;
}
inline uint64_t l2_index(const qcow2 *q, uint64_t guest_offset) {
    return (guest_offset >> q->l2_shift) & q->l2_amask;
}
inline uint64_t offset_in_cluster(const qcow2 *q, uint64_t guest_offset) {
    return guest_offset & (q->cluster_size - 1);
}
// Bytes of guest disk covered by one L2 table.
inline uint64_t l2_coverage(const qcow2 *q) {
    return uint64_t{1} << q->l1_shift;
}
// Number of entries in the L1 table.
inline uint64_t l1_entries(const qcow2 *q) {
    return q->l1_table_size / 8;
}
// Number of entries in the refcount table.
inline uint64_t refcount_table_entries(const qcow2 *q) {
    return q->refcount_table_size / 8;
}

// Current length of the image file (fstat), remembered in q->file_size_seen.
// -1 on failure.
int64_t file_length(qcow2 *q);

// True when the file holds every byte of [offset, offset + length). Asks the
// system only when the remembered length is not enough.
bool file_covers(qcow2 *q, uint64_t offset, uint64_t length);

// L1 entry in host order; 0 when the index is past l1_size or the entry lies
// past the end of the file.
uint64_t l1_entry(qcow2 *q, uint64_t index);
// Refcount table entry in host order, with the same rules.
uint64_t refcount_table_entry(qcow2 *q, uint64_t index);

// Stores an entry (host order in, big-endian in the file) through the table
// mapping. 0 on success; -1 when the index is past the table, the record is
// read-only, or the file does not (yet) cover the entry.
int store_l1_entry(qcow2 *q, uint64_t index, uint64_t entry);

// Puts new L2 entries, (index, entry) pairs in rising index order, into the L2
// table at host offset `table` in one write of the span they cover (the
// entries between them as the table holds them). load_failed: the table could
// not be mapped; write_failed: errno says why.
enum class L2Store { ok, load_failed, write_failed };
L2Store store_l2_entries(qcow2 *q, uint64_t table,
                         const std::vector<std::pair<uint64_t, uint64_t>> &entries);
int store_refcount_table_entry(qcow2 *q, uint64_t index, uint64_t entry);

// What one L2 entry says about its guest cluster.
enum class ClusterKind {
    unallocated, // read through to the backing file, or zeros without one
    zero,        // reads as zeros, never from the backing file (flag bit 0)
    standard,    // data at host_offset, cluster_size bytes
    compressed,  // compressed_length bytes at host_offset, deflated
};

struct ClusterMapping {
    ClusterKind kind = ClusterKind::unallocated;
    uint64_t host_offset = 0;       // standard: cluster start; compressed: data start
    uint64_t compressed_length = 0; // compressed: bytes to read (whole sectors)
};

// Decodes an L2 entry given in host order. Order of the tests: bit 63 clear
// and bit 62 set is compressed (bit 0 then belongs to the offset); otherwise
// bit 0 means zeros whatever the offset; otherwise bit 63 set or a non-zero
// offset is a standard cluster; else unallocated.
ClusterMapping decode_l2_entry(const qcow2 *q, uint64_t entry);

// Finds the mapping of the guest cluster holding guest_offset, reading the
// L2 table through cache slot 0. 0 on success; -1 with *error set to
// "load l2_table failed" when the table cannot be mapped. A guest offset
// whose L1 index lies past l1_size maps to unallocated.
int map_guest_cluster(qcow2 *q, uint64_t guest_offset, ClusterMapping *mapping, char **error);

// What every call that changes guest bytes [offset, offset + length)
// (writes, zeroing) does first, before anything of the image changes and
// before it starts an allocation of its own: refuses images with internal
// snapshots and marks the range in every enabled dirty bitmap (or drops the
// bitmaps where they cannot be kept). 0, or -1 with *error set.
int qcow2_before_first_change(qcow2 *q, uint64_t offset, uint64_t length, char **error);

// The path under which the backing file of q is opened: the stored name when
// absolute; a relative name resolved against the directory of q->path when
// such a file exists there, else the name as stored (the process's working
// directory). "" when q has no backing file.
std::string backing_path(const qcow2 *q);

// The backing image of an open image, opened read-only (shared lock) while
// the object lives, closed (lock dropped) when it dies or close() is called.
// It owns the path string that the backing record refers to.
class BackingImage {
  public:
    BackingImage() = default;
    ~BackingImage() { close(); }
    BackingImage(const BackingImage &) = delete;
    BackingImage &operator=(const BackingImage &) = delete;

    // 0 on success; -1 with *error set to the backing image's open text.
    // Opening again first closes what is open.
    int open(const qcow2 *image, char **error);
    void close();
    qcow2 *get() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }

  private:
    std::string path_;
    qcow2 *record_ = nullptr;
};

} // namespace oru::qcow2_engine
