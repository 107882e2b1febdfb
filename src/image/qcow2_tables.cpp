// qcow2 tables, file growth and the backing image: what reads, writes,
// refcounts and bitmaps share. Table entries are read through the file-length
// check so that a table that runs past the end of a truncated file reads as
// unallocated rather than faulting; the cluster cache maps one cluster per kind.
#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/export.h"
#include "image/qcow2_internal.h"
#include "qcow2.h"
#include "util/file_io.h"

namespace {

using oru::qcow2_engine::kNoMemory;
using oru::qcow2_engine::set_error;

} // namespace

const void *load_cluster(qcow2 *q, uint64_t offset, unsigned kind) {
    if (!q || offset == 0 || kind >= sizeof q->cluster / sizeof q->cluster[0]) {
        errno = EINVAL;
        return nullptr;
    }
    cluster &slot = q->cluster[kind];
    if (slot.base && slot.offset == offset) return slot.base;
    // A page wholly past the end of the file would fault on first touch.
    if (!oru::qcow2_engine::file_covers(q, offset, q->cluster_size) ||
        offset > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return nullptr;
    }
    void *p =
        ::mmap(nullptr, q->cluster_size, PROT_READ, MAP_SHARED, q->fd, static_cast<off_t>(offset));
    if (p == MAP_FAILED) return nullptr;
    if (slot.base) ::munmap(slot.base, q->cluster_size);
    slot.base = p;
    slot.offset = offset;
    return p;
}

// File growth: the allocator appends clusters at the end of the file.
ORU_EXPORT int64_t getfilesize(qcow2 *q) {
    if (!q) return -1;
    return oru::qcow2_engine::file_length(q);
}

ORU_EXPORT uint64_t add_cluster(qcow2 *q, unsigned n) {
    if (!q || n == 0) return 0;
    uint64_t length = uint64_t{n} * q->cluster_size;
    // Shrinking would cut off data and leave mapped tables over a hole that
    // faults; the engine only ever grows files.
    int64_t current = oru::qcow2_engine::file_length(q);
    if (current < 0 || length < static_cast<uint64_t>(current)) return 0;
    if (::ftruncate(q->fd, static_cast<off_t>(length)) != 0) return 0;
    q->file_size_seen = length;
    return length - q->cluster_size;
}

namespace oru::qcow2_engine {

int64_t file_length(qcow2 *q) {
    struct stat st;
    if (::fstat(q->fd, &st) != 0) return -1;
    q->file_size_seen = static_cast<uint64_t>(st.st_size);
    return st.st_size;
}

bool file_covers(qcow2 *q, uint64_t offset, uint64_t length) {
    if (length > UINT64_MAX - offset) return false;
    uint64_t end = offset + length;
    if (end <= q->file_size_seen) return true;
    int64_t now = file_length(q);
    return now >= 0 && end <= static_cast<uint64_t>(now);
}

L2Store store_l2_entries(qcow2 *q, uint64_t table,
                         const std::vector<std::pair<uint64_t, uint64_t>> &entries) {
    if (entries.empty()) return L2Store::ok;
    const auto *view = static_cast<const uint64_t *>(load_cluster(q, table, 0));
    if (!view) return L2Store::load_failed;
    const uint64_t first = entries.front().first, last = entries.back().first;
    std::vector<uint64_t> span(view + first, view + last + 1);
    for (const auto &[index, entry] : entries)
        htobe64p(entry, &span[index - first]);
    if (!oru::pwrite_all(q->fd, span.data(), span.size() * 8, table + first * 8))
        return L2Store::write_failed;
    return L2Store::ok;
}

namespace {

uint64_t table_entry(qcow2 *q, const uint64_t *table, uint64_t table_offset, uint64_t entries,
                     uint64_t index) {
    if (!table || index >= entries) return 0;
    if (!file_covers(q, table_offset + index * 8, 8)) return 0;
    return be64tohp(table + index);
}

int store_table_entry(qcow2 *q, uint64_t *table, uint64_t table_offset, uint64_t entries,
                      uint64_t index, uint64_t entry) {
    if (!table || index >= entries || q->flag == ORU_RO) return -1;
    if (!file_covers(q, table_offset + index * 8, 8)) return -1;
    htobe64p(entry, table + index);
    return 0;
}

} // namespace

uint64_t l1_entry(qcow2 *q, uint64_t index) {
    return table_entry(q, q->l1_table, q->l1_table_offset, l1_entries(q), index);
}

int store_l1_entry(qcow2 *q, uint64_t index, uint64_t entry) {
    return store_table_entry(q, q->l1_table, q->l1_table_offset, l1_entries(q), index, entry);
}

uint64_t refcount_table_entry(qcow2 *q, uint64_t index) {
    return table_entry(q, q->refcount_table, q->refcount_table_offset, refcount_table_entries(q),
                       index);
}

int store_refcount_table_entry(qcow2 *q, uint64_t index, uint64_t entry) {
    return store_table_entry(q, q->refcount_table, q->refcount_table_offset,
                             refcount_table_entries(q), index, entry);
}

std::string backing_path(const qcow2 *q) {
    std::string name(q->backing_file);
    if (name.empty() || name.front() == '/' || !q->path) return name;
    // A relative name belongs to the directory of the image that stores it;
    // the working directory serves only when nothing of that name is there.
    std::string image(q->path);
    size_t slash = image.rfind('/');
    if (slash == std::string::npos) return name;
    std::string beside = image.substr(0, slash + 1) + name;
    struct stat st;
    if (::stat(beside.c_str(), &st) == 0) return beside;
    return name;
}

int BackingImage::open(const qcow2 *image, char **error) {
    close();
    try {
        path_ = backing_path(image);
    } catch (...) {
        set_error(error, kNoMemory);
        return -1;
    }
    return qcow2_open(path_.data(), &record_, ORU_RO, error);
}

void BackingImage::close() {
    if (record_) qcow2_close(&record_);
    record_ = nullptr;
}

} // namespace oru::qcow2_engine
