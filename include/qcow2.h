/*
 * Internal: the qcow2 engine. One qcow2 record per open image; metadata (L1,
 * refcount table, L2 tables, refcount blocks) is read and written in place
 * through shared mappings of the file and stays big-endian. Not installed.
 */
#ifndef ORU_QCOW2_H
#define ORU_QCOW2_H

#include <stddef.h>
#include <stdint.h>

#include "rwimage1.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One slot of the mapped-cluster cache. offset 0 means empty. */
typedef struct cluster {
    void *base;
    uint64_t offset;
} cluster;

struct qcow2_dirty_state;

/* An open qcow2 image. qcow2_open allocates it zero-filled; qcow2_close
 * unmaps, unlocks, closes and frees it. Field order is fixed. */
typedef struct qcow2 {
    int fd;
    uint64_t size;                  /* virtual disk size in bytes */
    uint64_t *l1_table;             /* mapped L1 table, big-endian entries */
    size_t l1_table_size;           /* l1_size * 8 */
    size_t cluster_size;
    char *path;                     /* the caller's path, by reference */
    char err[512];                  /* system error text of a failed write */
    char backing_file[1024];        /* backing file name, "" when none */
    int flag;                       /* ORU_RO, ORU_WO or ORU_RW */
    uint32_t cluster_bits;
    uint64_t l1_table_offset;
    uint32_t l1_shift;              /* 2 * cluster_bits - 3 */
    uint32_t l2_amask;              /* (1 << (cluster_bits - 3)) - 1 */
    uint32_t l2_shift;              /* cluster_bits */
    uint64_t *refcount_table;       /* mapped refcount table, big-endian entries */
    size_t refcount_table_clusters; /* left 0 by open */
    size_t refcount_order;          /* refcount width is 1 << refcount_order bits */
    size_t refcount_table_size;     /* in bytes */
    cluster cluster[2];             /* kind 0: L2 table last used for reading */
    uint64_t file_size_seen;        /* lower bound of the file length; 0 = unknown */
    uint64_t refcount_table_offset; /* from the header */
    /* Writers: how changes reach the image's persistent dirty bitmaps
     * (qcow2_dirty_bitmap.cpp); NULL until the first change. Owned. */
    struct qcow2_dirty_state *dirty_bitmaps;
} qcow2;

/* Open and metadata. 0 / -1 with *error pointed at a constant text. */
int qcow2_open(char *path, qcow2 **q, int flag, char **error);
int qcow2_close(qcow2 **q);
/* Flushes a writable image to stable storage (fdatasync); qcow2_close calls
 * it first. 0, or -1 when the flush failed; read-only records: 0. */
int qcow2_flush(qcow2 *q);
const void *load_cluster(qcow2 *q, uint64_t offset, unsigned kind);
int64_t getfilesize(qcow2 *q);
uint64_t add_cluster(qcow2 *q, unsigned n);

/* Big-endian access; the library runs on little-endian hosts only. */
uint32_t be32tohp(const void *p);
uint64_t be64tohp(const void *p);
uint32_t htobe32p(const void *p);
int htobe64p(uint64_t n, void *p);

/* Guest I/O: bytes delivered/written, or -1 with *error set. */
int qcow2_read(qcow2 *q, void *dest, size_t len, uint64_t offset, char **error);
int qcow2_decompress(const void *compressed_data, size_t compressed_data_size,
                     void *uncompressed_data, size_t *uncompressed_data_size, char **error);
int qcow2_write(qcow2 *q, const void *buffer, size_t length, uint64_t offset, char **error);
/* Makes guest bytes [offset, offset + length), cut at the virtual size, read
 * as zeros: zero-flag entries (version 3) or deallocation where no backing
 * image shows through, freed clusters punched out of the file; partial
 * clusters written. Never exposes backing data, version 2 included.
 * 0, or -1 with *error set. */
int qcow2_zero(qcow2 *q, uint64_t offset, uint64_t length, char **error);
int update_refcount(qcow2 *q, uint64_t offset, int flag);
int copy_before_write(qcow2 *q, void *dest, size_t length, uint64_t offset);

/* Describes guest bytes [offset, offset + length), cut at the virtual size,
 * as reads see them through the whole backing chain, at cluster granularity:
 * zero-flag clusters, and clusters no layer allocates, read as zeros; standard
 * and compressed clusters are data. 0, or -1 with *error set. */
int qcow2_extents(qcow2 *q, uint64_t offset, uint64_t length, oru_extent_fn fn, void *opaque,
                  char **error);

/* Creation. 0 / -1. */
int qcow2_create(char *path, char *backing_file, uint32_t cluster_size, uint64_t size);

/* Allocated-cluster bitmaps, "<path>.b". 0 / -1 with *error set. */
struct fiemap;
int QueryAllocatedClusters(qcow2 *q, char *bitmappath, char **error);
int get_bitmap(qcow2 *q, char *path, char **error);
int comfile(char *path, char *path1);

#ifdef __cplusplus
}
#endif

#endif /* ORU_QCOW2_H */
