// qcow2 images: open (header checks, table mappings, file lock) and close.
// Table access, file growth and the backing image live in qcow2_tables.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/export.h"
#include "image/qcow2_dirty_bitmap.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

namespace {

// The engine reads this much of the header: through the compression-type
// byte of version 3 headers.
constexpr size_t kHeaderBytes = 105;
constexpr uint32_t kMagic = 0x514649FB; // "QFI\xfb"

// Incompatible feature bits a version 3 header may carry: dirty (0), corrupt
// (1, refused separately) and compression type (3). Anything else (external
// data file, extended L2 entries, future bits) changes how tables are read.
constexpr uint64_t kKnownIncompatible = (1ULL << 0) | (1ULL << 1) | (1ULL << 3);
constexpr uint64_t kIncompatibleCorrupt = 1ULL << 1;
constexpr uint64_t kIncompatibleCompression = 1ULL << 3;

// Header field offsets.
constexpr size_t kVersionAt = 4;
constexpr size_t kBackingOffsetAt = 8;
constexpr size_t kBackingSizeAt = 16;
constexpr size_t kClusterBitsAt = 20;
constexpr size_t kSizeAt = 24;
constexpr size_t kCryptAt = 32;
constexpr size_t kL1SizeAt = 36;
constexpr size_t kL1OffsetAt = 40;
constexpr size_t kRefcountOffsetAt = 48;
constexpr size_t kRefcountClustersAt = 56;
constexpr size_t kIncompatibleAt = 72;
constexpr size_t kRefcountOrderAt = 96;
constexpr size_t kCompressionTypeAt = 104;

constexpr char kFlagUndefined[] = "flag not define";
constexpr char kOpenFailed[] = "open file failed";
constexpr char kLockFailed[] = "file locked failed";
constexpr char kHeaderTooShort[] = "header is too short";
constexpr char kNotQcow[] = "The image is not qcow";
constexpr char kVersionTooOld[] = "qcow version is too old\n";
constexpr char kEncrypted[] = "The image is encryptd,not support now";
constexpr char kCorrupt[] = "data corrupt";
constexpr char kUnknownFeature[] = "qcow image uses an unsupported incompatible feature";
constexpr char kNotZlib[] = "only support zlib compress now";
constexpr char kBadClusterBits[] = "qcow cluster size is not supported";
constexpr char kBackingNameTooLong[] = "qcow backing file name is too long";
constexpr char kSmallCluster[] = "qcow header mmap failed";
constexpr char kL1Corrupt[] = "qcow L1 table is corrupted";
constexpr char kRefcountCorrupt[] = "qcow refcount_table is corrupted";
constexpr char kInvalidArgument[] = "qcow handle can't be NULL";

using oru::qcow2_engine::kHeaderFailed;
using oru::qcow2_engine::kNoMemory;
using oru::qcow2_engine::set_error;

// Maps a metadata table of `bytes` at `offset`; nullptr when the header's
// numbers cannot describe a mapping (overflow, misalignment, no memory).
uint64_t *map_table(int fd, uint64_t offset, uint64_t bytes, int flag) {
    if (bytes == 0 || offset > static_cast<uint64_t>(INT64_MAX) ||
        bytes > static_cast<uint64_t>(INT64_MAX) - offset || bytes > SIZE_MAX)
        return nullptr;
    int prot = flag == ORU_RO ? PROT_READ : PROT_READ | PROT_WRITE;
    void *p = ::mmap(nullptr, static_cast<size_t>(bytes), prot, MAP_SHARED, fd,
                     static_cast<off_t>(offset));
    return p == MAP_FAILED ? nullptr : static_cast<uint64_t *>(p);
}

// Releases whatever an open record holds. Used by close and by a failed open.
void release_record(qcow2 *q) {
    for (auto &slot : q->cluster) {
        if (slot.base) ::munmap(slot.base, q->cluster_size);
        slot.base = nullptr;
        slot.offset = 0;
    }
    if (q->l1_table) ::munmap(q->l1_table, q->l1_table_size);
    if (q->refcount_table) ::munmap(q->refcount_table, q->refcount_table_size);
    q->l1_table = nullptr;
    q->refcount_table = nullptr;
    if (q->fd >= 0) {
        lock_set(q->fd, F_UNLCK);
        ::close(q->fd);
    }
    q->fd = -1;
    qcow2_release_dirty_state(q);
    std::free(q);
}

// Header checks and derived geometry; fills q from the 105 header bytes.
// nullptr on success, else the refusal text.
const char *parse_header(qcow2 *q, const unsigned char *h) {
    if (be32tohp(h) != kMagic) return kNotQcow;
    uint32_t version = be32tohp(h + kVersionAt);
    if (version < 2) return kVersionTooOld;
    if (be32tohp(h + kCryptAt) != 0) return kEncrypted;
    // A version 2 header ends at byte 72: what follows belongs to header
    // extensions or the backing name, not to feature fields.
    if (version >= 3) {
        uint64_t incompatible = be64tohp(h + kIncompatibleAt);
        if (incompatible & kIncompatibleCorrupt) return kCorrupt;
        if (incompatible & ~kKnownIncompatible) return kUnknownFeature;
        if (h[kCompressionTypeAt] != 0 && (incompatible & kIncompatibleCompression))
            return kNotZlib;
    }
    q->size = be64tohp(h + kSizeAt);
    q->cluster_bits = be32tohp(h + kClusterBitsAt);
    if (q->cluster_bits < oru::qcow2_engine::kMinClusterBits ||
        q->cluster_bits > oru::qcow2_engine::kMaxClusterBits)
        return kBadClusterBits;
    q->cluster_size = size_t{1} << q->cluster_bits;
    if (be64tohp(h + kBackingOffsetAt) != 0 &&
        be32tohp(h + kBackingSizeAt) >= sizeof q->backing_file)
        return kBackingNameTooLong;
    q->l2_shift = q->cluster_bits;
    q->l2_amask = (1U << (q->cluster_bits - 3)) - 1;
    q->l1_shift = 2 * q->cluster_bits - 3;
    q->l1_table_offset = be64tohp(h + kL1OffsetAt);
    q->l1_table_size = size_t{be32tohp(h + kL1SizeAt)} * 8;
    q->refcount_table_offset = be64tohp(h + kRefcountOffsetAt);
    q->refcount_order = version >= 3 ? be32tohp(h + kRefcountOrderAt) : 4;
    q->refcount_table_size = size_t{be32tohp(h + kRefcountClustersAt)} * q->cluster_size;
    return nullptr;
}

// The backing name is read as the header says; a short read leaves the rest
// of the (zero-filled) field empty.
void read_backing_name(qcow2 *q, const unsigned char *h) {
    uint64_t offset = be64tohp(h + kBackingOffsetAt);
    if (offset == 0 || offset > static_cast<uint64_t>(INT64_MAX)) return;
    size_t length = be32tohp(h + kBackingSizeAt); // < sizeof backing_file, checked
    if (oru::pread_full(q->fd, q->backing_file, length, offset) < 0) q->backing_file[0] = '\0';
    q->backing_file[length] = '\0';
}

int fail_open(qcow2 **out, qcow2 *q, char **error, const char *text) {
    release_record(q);
    *out = nullptr;
    set_error(error, text);
    return -1;
}

} // namespace

ORU_EXPORT int qcow2_open(char *path, qcow2 **out, int flag, char **error) {
    if (!out) {
        set_error(error, kInvalidArgument);
        return -1;
    }
    *out = nullptr;
    if (flag != ORU_RO && flag != ORU_WO && flag != ORU_RW) {
        set_error(error, kFlagUndefined);
        return -1;
    }
    if (!path) {
        set_error(error, kOpenFailed);
        return -1;
    }
    auto *q = static_cast<qcow2 *>(std::calloc(1, sizeof(qcow2)));
    if (!q) {
        set_error(error, kNoMemory);
        return -1;
    }
    q->fd = -1;
    // Write-only opens still read the header and map the tables, so the file
    // is opened for reading too; the lock stays exclusive.
    oru::UniqueFd fd(::open(path, (flag == ORU_RO ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!fd) return fail_open(out, q, error, kOpenFailed);
    if (lock_set(fd.get(), flag == ORU_RO ? F_RDLCK : F_WRLCK) == -1)
        return fail_open(out, q, error, kLockFailed);
    q->fd = fd.release();
    q->flag = flag;

    unsigned char header[kHeaderBytes];
    ssize_t got = oru::pread_full(q->fd, header, sizeof header, 0);
    if (got < 0) return fail_open(out, q, error, kHeaderFailed);
    if (static_cast<size_t>(got) < sizeof header) return fail_open(out, q, error, kHeaderTooShort);
    if (const char *refusal = parse_header(q, header)) return fail_open(out, q, error, refusal);
    q->path = path;
    read_backing_name(q, header);

    long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0 && q->cluster_size < static_cast<size_t>(page))
        return fail_open(out, q, error, kSmallCluster);
    // An empty L1 table (virtual size 0) needs no mapping: every lookup past
    // l1_size reads as unallocated.
    if (q->l1_table_size != 0) {
        q->l1_table = map_table(q->fd, q->l1_table_offset, q->l1_table_size, flag);
        if (!q->l1_table) return fail_open(out, q, error, kL1Corrupt);
    }
    q->refcount_table = map_table(q->fd, q->refcount_table_offset, q->refcount_table_size, flag);
    if (!q->refcount_table) return fail_open(out, q, error, kRefcountCorrupt);
    oru::qcow2_engine::file_length(q);
    *out = q;
    return 0;
}

ORU_EXPORT int qcow2_close(qcow2 **q) {
    if (!q || !*q) return 0;
    // Data written through this record reaches stable storage before the
    // lock that guarded it is dropped.
    int flushed = qcow2_flush(*q);
    // Only data that is durable lets the bitmaps that describe it be
    // trusted again.
    if (flushed == 0) qcow2_end_changes(*q);
    release_record(*q);
    // The record is gone; leaving the caller a dangling pointer only invites
    // a second close.
    *q = nullptr;
    return flushed;
}
